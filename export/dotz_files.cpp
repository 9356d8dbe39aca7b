#include "dotz_files.h"

#include "column_store.h"

namespace dotz {

DayResult GravaArquivosDotz(const ExportTables& t, Day day, bool with515, LineList& lines,
                            const PathMap& paths, FileSystem& fs)
{
    DayWriter writer(day, with515, lines, paths, fs);
    const Table* tables[] = {&t.cdsCaixa, &t.cdsDadosDotz, &t.cdsDotzExtra, &t.cdsConfigDotz};
    for (size_t slot = 0; slot < 4; ++slot)
        writer.slot(slot).rows(tables[slot]->store(), 0);
    return writer.finishFiles();
}

} // namespace dotz
