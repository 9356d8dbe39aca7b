#include "day_writer.h"

namespace dotz {

DayWriter::DayWriter(Day day, bool with515, LineList& lines, const PathMap& paths, FileSystem& fs,
                     bool tills)
    : with515_(with515), day_(day, paths, lines, fs)
{
    lines.clear();
    if (tills)
        day_.summary.tills.emplace();
}

DayWriter::~DayWriter()
{
    day_.lines.clear();
}

PieceSink& DayWriter::slot(size_t slot)
{
    if (slot > 0 && slots_[slot - 1])
        slots_[slot - 1]->end();
    day_.markPacket();
    slots_[slot] = packetWriter(day_, slot, with515_);
    return *slots_[slot];
}

void DayWriter::endSlots()
{
    for (auto& s : slots_)
        if (s)
            s->end();
}

const DaySummary& DayWriter::summary()
{
    endSlots();
    return day_.summary;
}

DayResult DayWriter::GravaArquivosDotz()
{
    endSlots();
    for (const auto& s : slots_)
        if (s)
            if (auto refused = s->refusal()) {
                day_.files.drop();
                throw LastingError(*refused);
            }
    if (const auto& failed = day_.files.writeError()) {
        const Error error(*failed);
        day_.files.drop();
        throw error;
    }
    day_.lines.clear();
    DayResult result;
    for (size_t slot = 0; slot < slots_.size(); ++slot)
        result.rows[slot] = slots_[slot] ? slots_[slot]->rowCount() : 0;
    result.files = day_.files.place(day_.day);
    return result;
}

} // namespace dotz
