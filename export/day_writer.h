#pragma once
// A day's DOTZ files written as the day's rows arrive, in memory that does not grow with the day.
//
// The loader hands each packet's rows over a piece at a time, in slot order, and each piece leaves
// memory once it is read. A file is a function of one run of a branch's rows in one packet, and a
// packet holds a branch's rows together, so each row is formatted at once into its run's file,
// which is staged beside its name: begun once its lines pass a buffer's worth, ended when the run
// ends. Its name comes from the run's last row, so a file begun under the name of an earlier row
// moves when the last one names another.
//
// What the day's checks need is kept as the rows go by, a summary per branch and per packet: the
// branches lacking a partner code or a folder, in the order the screen's working sets would hold
// them; each branch's first run (rows standing apart); the first value fault that reaches a file;
// the first file name or folder that cannot be used; the first field separator inside a record,
// per column. finish() decides the checks from them in the order the checks of a loaded day run,
// and only then puts the files in place: a refused day drops its staged files and the folders made
// for them. Once the day is sure to be refused, nothing more is written, only summed up.
#include "base/day.h"
#include "base/paths.h"
#include "checks.h"
#include "day_placing.h"
#include "file_names.h"
#include "file_system.h"
#include "line_list.h"
#include "packet_loader.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

struct DayResult
{
    std::vector<WrittenFile> files;
    // The rows of each packet, in slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra,
    // cdsConfigDotz.
    std::array<size_t, 4> rows{};
};

class DayWriter
{
  public:
    // `lines` is the run's line list, empty on entry and when the writer is done.
    DayWriter(Day day, bool with515, LineList& lines, const PathMap& paths, FileSystem& fs);
    // A day not finished (a refused packet, a failed call) drops what it staged.
    ~DayWriter();
    DayWriter(const DayWriter&) = delete;
    DayWriter& operator=(const DayWriter&) = delete;

    // Where the rows of packet `slot` go, a piece at a time. Slots come in
    // order, each once (again after a restart); the one for cdsConfigDotz only
    // counts its rows when the 515 file is off, as does the one for cdsCaixa.
    PieceSink& slot(size_t slot);

    // The day's checks, then its files in place, a branch's files together,
    // and their folders (and the parents of those it made) flushed. Throws the
    // refusal of the first check that fails (the partner code and folder checks
    // with the message table's texts, then the files' own, naming the packet and
    // the branch), or the failed write naming the DOTZ file, with none of the
    // day's files in place; PartlyPlaced when a rename or a folder's flush fails.
    DayResult finish(const MessageTable& messages = dotzMessages());
    // The same without the partner code and folder checks.
    DayResult finishFiles();

  private:
    class Slot;
    template <class Record> class RecordSlot;
    // Stages, unless the day is sure to be refused or a write failed.
    bool writing() const { return !doomed_ && !writeError_ && !failedWrite_; }
    void lacking(LackingBranches& set, std::string_view branch);
    void ensureFolder(const std::string& localDir);
    // The packet's rows come again: what it gave so far goes.
    void restartSlot(size_t slot);
    void endSlots();
    std::optional<std::string> refusal() const;
    void dropAll();
    // Removes the folders made for the day, where empty.
    void dropFolders();

    Day day_;
    bool with515_;
    LineList& lines_;
    const PathMap& paths_;
    FileSystem& fs_;
    LackingBranches lackingPartner_;
    LackingBranches lackingFolder_;
    std::array<std::unique_ptr<Slot>, 4> slots_;
    std::vector<WrittenFile> staged_;
    std::set<std::string> folders_;         // of the files staged, and those made in, to be flushed
    std::vector<std::string> madeFolders_;  // made for them, removed on a refusal
    bool doomed_ = false;                   // a check already fails
    std::optional<FileError> failedWrite_;  // a write failed; named when its run ends
    std::optional<std::string> writeError_; // the first failed write, in the operator's words
    bool finished_ = false;
    // What the day held when the packet under way began.
    struct Snapshot
    {
        size_t staged = 0;
        LackingBranches partner, folder;
        bool doomed = false;
        std::optional<std::string> writeError;
        std::optional<FileError> failedWrite;
    } snapshot_;
};

} // namespace dotz
