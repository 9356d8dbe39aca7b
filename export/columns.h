#pragma once
// The packets' columns by position, as the writer reaches them; each position
// is checked against the wire contract's layout.
#include "base/wire_contract.h"

#include <string_view>

namespace dotz {

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
namespace columns_detail {

// The writer reaches columns by these positions: each must name the column it
// stands for in the packet's layout.
constexpr bool at(size_t slot, int position, std::string_view name)
{
    return wire::kPackets[slot].columns[static_cast<size_t>(position)].name == name;
}
static_assert(wire::kPackets[0].columns.size() == caixa::CDCAIXA + 1 &&
              wire::kPackets[1].columns.size() == dados::NRDOTZ + 1 &&
              wire::kPackets[2].columns.size() == extra::NRDOTZ + 1 &&
              wire::kPackets[3].columns.size() == config::DSDIRARQDOTZ + 1);
static_assert(at(0, caixa::CDFILIAL, "CDFILIAL") && at(0, caixa::CDCAIXA, "CDCAIXA"));
static_assert(at(1, dados::CDFILIAL, "CDFILIAL") && at(1, dados::CDCAIXA, "CDCAIXA") &&
              at(1, dados::NRCUPOMFIS, "NRCUPOMFIS") &&
              at(1, dados::CDIDCLIENTEDOTZ, "CDIDCLIENTEDOTZ") &&
              at(1, dados::CDOPERADOR, "CDOPERADOR") && at(1, dados::DATA, "DATA") &&
              at(1, dados::HORA, "HORA") && at(1, dados::VRTOTVENDA, "VRTOTVENDA") &&
              at(1, dados::CDPROMOCAODOTZ, "CDPROMOCAODOTZ") &&
              at(1, dados::CDINTEGRADOTZ, "CDINTEGRADOTZ") &&
              at(1, dados::DSDIRARQDOTZ, "DSDIRARQDOTZ") && at(1, dados::NRDOTZ, "NRDOTZ"));
static_assert(at(2, extra::CDFILIAL, "CDFILIAL") && at(2, extra::CDCAIXA, "CDCAIXA") &&
              at(2, extra::NRCUPOMFIS, "NRCUPOMFIS") &&
              at(2, extra::CDIDCLIENTEDOTZ, "CDIDCLIENTEDOTZ") &&
              at(2, extra::CDPRODUTO, "CDPRODUTO") && at(2, extra::VRUNITVEND, "VRUNITVEND") &&
              at(2, extra::QTPRODVEND, "QTPRODVEND") && at(2, extra::VRTOTAL, "VRTOTAL") &&
              at(2, extra::CDBARPRODUTO, "CDBARPRODUTO") &&
              at(2, extra::CDPROMOCAODOTZ, "CDPROMOCAODOTZ") &&
              at(2, extra::CDINTEGRADOTZ, "CDINTEGRADOTZ") &&
              at(2, extra::DSDIRARQDOTZ, "DSDIRARQDOTZ") && at(2, extra::NRDOTZ, "NRDOTZ"));
static_assert(at(3, config::CDFILIAL, "CDFILIAL") && at(3, config::CDPRODUTO, "CDPRODUTO") &&
              at(3, config::VRPRECITEM, "VRPRECITEM") && at(3, config::NMPRODUTO, "NMPRODUTO") &&
              at(3, config::CDBARPRODUTO, "CDBARPRODUTO") &&
              at(3, config::CDPROMOCAODOTZ, "CDPROMOCAODOTZ") &&
              at(3, config::DTINIVIGPROD, "DTINIVIGPROD") &&
              at(3, config::DTFIMVIGPROD, "DTFIMVIGPROD") &&
              at(3, config::VRPONTOPROD, "VRPONTOPROD") &&
              at(3, config::CDINTEGRADOTZ, "CDINTEGRADOTZ") &&
              at(3, config::DSDIRARQDOTZ, "DSDIRARQDOTZ"));

} // namespace columns_detail
} // namespace dotz
