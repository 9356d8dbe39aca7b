#pragma once
// The module's six tables, loaded whole, with their declared columns: the
// reference the tests read a day through beside the stream.
#include "export/columns.h"
#include "table.h"

namespace dotz {

Table makeCdsCaixa();
Table makeCdsDadosDotz();
Table makeCdsDotzExtra();
Table makeCdsConfigDotz();
Table makeCdsFilialParc();
Table makeCdsFilialDir();

namespace working {
enum : int { CDFILIAL };
}

// The tables of one export, as the screen owns them.
struct ExportTables
{
    Table cdsCaixa = makeCdsCaixa();
    Table cdsDadosDotz = makeCdsDadosDotz();
    Table cdsDotzExtra = makeCdsDotzExtra();
    Table cdsConfigDotz = makeCdsConfigDotz();
    Table cdsFilialParc = makeCdsFilialParc();
    Table cdsFilialDir = makeCdsFilialDir();
};

} // namespace dotz
