#pragma once
// Writing a day's DOTZ files from loaded tables: records 500 (sales with
// points), 510 (items with extra points) and 515 (promotion products), one file
// per branch and type. The export run streams its rows to the same writer.
#include "day_writer.h"
#include "export_tables.h"

namespace dotz {

// Writes the day's files. Before putting any file in place it checks every data
// set it writes (branch rows together, value faults that reach a file, file-name
// pieces, field separators, destination paths) and refuses the whole day with
// dotz::LastingError naming the data set and branch; nothing of the day is left.
// A failed write raises dotz::Error naming the file; files written before it
// stay. `lines` is empty on entry and on return.
DayResult GravaArquivosDotz(const ExportTables& tables, Day day, bool with515, LineList& lines,
                            const PathMap& paths, FileSystem& fs);

} // namespace dotz
