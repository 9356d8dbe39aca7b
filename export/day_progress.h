#pragma once
// How far the day under way has come, as its packets load: the day's branches
// (those of its first packet, the tills'), and of each packet that gives files,
// the branches whose rows are all in. A packet holds a branch's rows together,
// so a branch is done when the next one's rows begin.
#include "base/day.h"
#include "packet_loader.h"

#include <cstddef>
#include <set>
#include <string>

namespace dotz {

struct DayProgress
{
    Day day;
    size_t branches = 0; // of the day
    size_t packet = 0;   // the one under way, from 1 (sales); 0: none yet
    size_t packets = 2;  // that give files: sales and items, and products with the 515 file
    size_t done = 0;     // branches of the packet under way whose rows are all in
    // Of the day's files' packets, 0 to 1.
    double fraction() const;
};

// Receives a day's progress; called on the thread that loads the day's packets.
class ProgressReceiver
{
  public:
    virtual ~ProgressReceiver() = default;
    virtual void progress(const DayProgress&) = 0;
};

// Counts a day's packets' rows on their way to the writer's sinks.
class DayTracker
{
  public:
    DayTracker(Day day, bool with515, ProgressReceiver& receiver);
    // A sink that passes packet `slot`'s rows on to `inner`, counting them;
    // one at a time, each until the next, or until ended.
    PieceSink& wrap(size_t slot, PieceSink& inner);
    // The packet's last row is in.
    void ended(size_t slot);

  private:
    void seen(size_t slot, const ColumnStore& piece);
    void restarted(size_t slot);

    DayProgress p_;
    ProgressReceiver& receiver_;
    std::set<std::string, std::less<>> tills_; // branches of the first packet
    std::string last_;                         // branch of the row before
    bool any_ = false;
    struct Sink : PieceSink
    {
        DayTracker* tracker = nullptr;
        size_t slot = 0;
        PieceSink* inner = nullptr;
        void rows(const ColumnStore& piece, size_t firstRow) override;
        void restart() override;
    } sink_;
};

} // namespace dotz
