#pragma once
// The module's six tables with their declared columns, and column indexes by name.
#include "table.h"

namespace dotz {

Table makeCdsCaixa();
Table makeCdsDadosDotz();
Table makeCdsDotzExtra();
Table makeCdsConfigDotz();
Table makeCdsFilialParc();
Table makeCdsFilialDir();

// Column positions, in declaration order.
namespace caixa {
enum : int { CDFILIAL, CDCAIXA };
}
namespace dados {
enum : int {
    CDFILIAL,
    CDCAIXA,
    NRCUPOMFIS,
    CDIDCLIENTEDOTZ,
    CDOPERADOR,
    DATA,
    HORA,
    VRTOTVENDA,
    CDPROMOCAODOTZ,
    CDINTEGRADOTZ,
    DSDIRARQDOTZ,
    NRDOTZ
};
}
namespace extra {
enum : int {
    CDFILIAL,
    CDCAIXA,
    NRCUPOMFIS,
    CDIDCLIENTEDOTZ,
    CDPRODUTO,
    VRUNITVEND,
    QTPRODVEND,
    VRTOTAL,
    CDBARPRODUTO,
    CDPROMOCAODOTZ,
    CDINTEGRADOTZ,
    DSDIRARQDOTZ,
    NRDOTZ
};
}
namespace config {
enum : int {
    CDFILIAL,
    CDPRODUTO,
    VRPRECITEM,
    NMPRODUTO,
    CDBARPRODUTO,
    CDPROMOCAODOTZ,
    DTINIVIGPROD,
    DTFIMVIGPROD,
    VRPONTOPROD,
    CDINTEGRADOTZ,
    DSDIRARQDOTZ
};
}
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
