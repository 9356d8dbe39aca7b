#pragma once
// A day's DOTZ files written as the day's rows arrive, in memory that does not grow with the day.
//
// The loader hands each packet's rows over a piece at a time, in slot order, and each piece leaves
// memory once it is read; each packet's writer formats them into their files as they go by
// (packet_writer.h), staged beside their names (staged_day.h). What the day's checks need is kept
// on the way (checks.h): the branches lacking a partner code or a folder, in the order the screen's
// working sets would hold them, and each packet's own checks of what reaches a file. The branch
// checks read summary(); GravaArquivosDotz() applies the files' own checks and only then puts the
// files in place. A refused day drops its staged files and the folders made for them. Once the
// day is sure to be refused, nothing more is written, only summed up.
#include "base/day.h"
#include "base/paths.h"
#include "base/wire_contract.h"
#include "packet_writer.h"

#include <array>
#include <memory>
#include <vector>

namespace dotz {

struct DayResult
{
    std::vector<WrittenFile> files;
    // The rows of each packet, in slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra,
    // cdsConfigDotz.
    std::array<size_t, wire::kPacketCount> rows{};
};

class DayWriter
{
  public:
    // `lines` is the run's line list, empty on entry and when the writer is done.
    // With `tills`, the day's till list is kept for Vd_Caixa.
    DayWriter(Day day, bool with515, LineList& lines, const PathMap& paths, FileSystem& fs,
              bool tills = false);
    // A day not written (a refused packet, a failed call) drops what it staged.
    ~DayWriter();
    DayWriter(const DayWriter&) = delete;
    DayWriter& operator=(const DayWriter&) = delete;

    // Where the rows of packet `slot` go, a piece at a time. Slots come in
    // order, each once (again after a restart); the one for cdsConfigDotz only
    // counts its rows when the 515 file is off, as does the one for cdsCaixa.
    PieceSink& slot(size_t slot);

    // Every packet's rows are in: what the branch checks read.
    const DaySummary& summary();

    // Writes the day: its files' own checks, then its files in place, a
    // branch's files together, and their folders (and the parents of those it
    // made) flushed. Throws the refusal of the first check that fails, naming
    // the packet and the branch, or the failed write naming the DOTZ file, with
    // none of the day's files in place; PartlyPlaced when a rename or a folder's
    // flush fails.
    DayResult GravaArquivosDotz();

  private:
    void endSlots();

    bool with515_;
    DayInProgress day_;
    std::array<std::unique_ptr<PacketWriter>, wire::kPacketCount> slots_;
};

} // namespace dotz
