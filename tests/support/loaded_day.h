#pragma once
// A day read whole into its tables and written from them: the reference the
// tests hold the stream to, since the export itself never loads a day whole.
#include "export/day_writer.h"
#include "export_tables.h"

namespace dotz {

// The tables' rows through one DayWriter, then GravaArquivosDotz; the branch
// checks are not applied. `lines` is empty on entry and on return.
DayResult writeLoadedDay(const ExportTables& tables, Day day, bool with515, LineList& lines,
                         const PathMap& paths, FileSystem& fs);

// What the tables' rows leave for the branch checks, read as the export reads a
// day (the till list kept); nothing is written.
DaySummary summaryOf(const ExportTables& tables, bool with515);

} // namespace dotz
