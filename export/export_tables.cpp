#include "export_tables.h"

namespace dotz {
namespace {
ColumnDef text(const char* name, int size)
{
    return {name, ColumnType::Text, size};
}
ColumnDef number(const char* name)
{
    return {name, ColumnType::Number, 0};
}
} // namespace

// Column names, order and widths are those the server's packets carry; do not
// change them without the server.
Table makeCdsCaixa()
{
    return Table("cdsCaixa", {text("CDFILIAL", 4), text("CDCAIXA", 3)});
}

Table makeCdsDadosDotz()
{
    return Table("cdsDadosDotz",
                 {text("CDFILIAL", 4), text("CDCAIXA", 3), text("NRCUPOMFIS", 10),
                  text("CDIDCLIENTEDOTZ", 20), text("CDOPERADOR", 12), text("DATA", 10),
                  text("HORA", 8), number("VRTOTVENDA"), text("CDPROMOCAODOTZ", 20),
                  text("CDINTEGRADOTZ", 20), text("DSDIRARQDOTZ", 100), number("NRDOTZ")});
}

Table makeCdsDotzExtra()
{
    return Table("cdsDotzExtra",
                 {text("CDFILIAL", 4), text("CDCAIXA", 3), text("NRCUPOMFIS", 10),
                  text("CDIDCLIENTEDOTZ", 20), text("CDPRODUTO", 10), number("VRUNITVEND"),
                  number("QTPRODVEND"), number("VRTOTAL"), text("CDBARPRODUTO", 30),
                  text("CDPROMOCAODOTZ", 20), text("CDINTEGRADOTZ", 20), text("DSDIRARQDOTZ", 100),
                  number("NRDOTZ")});
}

Table makeCdsConfigDotz()
{
    return Table("cdsConfigDotz",
                 {text("CDFILIAL", 4), text("CDPRODUTO", 10), number("VRPRECITEM"),
                  text("NMPRODUTO", 50), text("CDBARPRODUTO", 30), text("CDPROMOCAODOTZ", 20),
                  text("DTINIVIGPROD", 10), text("DTFIMVIGPROD", 10), number("VRPONTOPROD"),
                  text("CDINTEGRADOTZ", 20), text("DSDIRARQDOTZ", 100)});
}

Table makeCdsFilialParc()
{
    return Table("cdsFilialParc", {text("CDFILIAL", 4)});
}
Table makeCdsFilialDir()
{
    return Table("cdsFilialDir", {text("CDFILIAL", 4)});
}

} // namespace dotz
