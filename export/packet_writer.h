#pragma once
// A packet's rows formatted into DOTZ records as they arrive. A file is a
// function of one run of a branch's rows in one packet, and a packet holds a
// branch's rows together, so each row goes at once into its run's file, staged
// beside its name: begun once its lines pass a buffer's worth, ended when the
// run ends. Its name comes from the run's last row, so a file begun under the
// name of an earlier row moves when the last one names another. What the
// checks need is summed up on the way (checks.h).
#include "base/day.h"
#include "base/paths.h"
#include "checks.h"
#include "line_list.h"
#include "packet_loader.h"
#include "staged_day.h"

#include <memory>

namespace dotz {

// The day under way, as its packets' writers share it.
struct DayInProgress
{
    DayInProgress(Day d, const PathMap& p, LineList& l, FileSystem& fs)
        : day(d), paths(p), lines(l), files(fs)
    {
    }
    Day day;
    const PathMap& paths;
    LineList& lines;
    DaySummary summary;
    StagedDay files;
    // Stages, unless the day is sure to be refused or a write failed.
    bool writing() const { return !summary.doomed && files.ok(); }
    void lacking(LackingBranches& set, std::string_view branch)
    {
        set.see(branch);
        summary.doomed = summary.doomed || set.refuses();
    }
    // What the day held when the packet under way began, to go back to when its
    // rows come again.
    void markPacket() { mark_ = {files.mark(), summary}; }
    void restartPacket()
    {
        lines.clear();
        files.restore(mark_.files);
        summary = mark_.summary;
    }

  private:
    struct Mark
    {
        StagedDay::Mark files;
        DaySummary summary;
    } mark_;
};

// One packet's share of the day: its rows counted; the packets that give files
// also format them, and check them on the way.
class PacketWriter : public PieceSink
{
  public:
    PacketWriter(DayInProgress& day, size_t slot) : day_(day), slot_(slot) {}
    void rows(const ColumnStore& piece, size_t) override { rows_ += piece.rows(); }
    // The packet's rows come again: what it gave so far goes.
    void restart() override
    {
        rows_ = 0;
        day_.restartPacket();
    }
    // The packet's last row is in.
    virtual void end() {}
    // The first refusal of the packet's own checks.
    virtual std::optional<std::string> refusal() const { return std::nullopt; }
    size_t rowCount() const { return rows_; }

  protected:
    DayInProgress& day_;
    size_t slot_;
    size_t rows_ = 0;
};

// The writer of packet `slot`: 1 sales (500), 2 items (510), 3 products (515,
// only `with515`); the tills (0), and the products without the 515 file, are
// only counted, the tills also listed when the day keeps them.
std::unique_ptr<PacketWriter> packetWriter(DayInProgress& day, size_t slot, bool with515);

} // namespace dotz
