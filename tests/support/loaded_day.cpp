#include "loaded_day.h"

#include "export/column_store.h"
#include "export/plan.h"

namespace dotz {
namespace {

void feed(const ExportTables& t, DayWriter& writer)
{
    const Table* tables[] = {&t.cdsCaixa, &t.cdsDadosDotz, &t.cdsDotzExtra, &t.cdsConfigDotz};
    for (size_t slot = 0; slot < std::size(tables); ++slot)
        writer.slot(slot).rows(tables[slot]->store(), 0);
}

} // namespace

DayResult writeLoadedDay(const ExportTables& t, Day day, bool with515, LineList& lines,
                         const PathMap& paths, FileSystem& fs)
{
    DayWriter writer(day, with515, lines, paths, fs);
    feed(t, writer);
    return writer.GravaArquivosDotz();
}

DaySummary summaryOf(const ExportTables& t, bool with515)
{
    PlanningFileSystem fs;
    LineList lines;
    const PathMap none;
    DayWriter writer(*Day::fromYmd(2024, 3, 15), with515, lines, none, fs, true);
    feed(t, writer);
    return writer.summary();
}

} // namespace dotz
