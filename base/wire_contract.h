#pragma once
// What the module and the application server must agree on: where the server
// object answers, and the columns of the four packets of GetPrincipal. Both
// sides are built from these definitions, so a change here changes the wire:
// a module and a server of different builds refuse each other's packets.
#include <array>
#include <span>
#include <string_view>

namespace dotz::wire {

inline constexpr std::string_view kObjectName = "Krt52410.rdmExportaDotz";
inline constexpr int kDefaultPort = 8211;
// Every server object answers at kPathPrefix + its name.
inline constexpr std::string_view kPathPrefix = "/rpc/";
// The object's one method: parameters (branch selector, day "YYYY-MM-DD").
inline constexpr std::string_view kMethodGetPrincipal = "GetPrincipal";
// The selector of every branch; a list of codes is quoted, so 'T' is a branch.
inline constexpr std::string_view kAllBranches = "T";

// The keys of a packet, {"columns":[{"name":N,"type":T,"size":S},...],"rows":[[...],...]},
// and its two column types.
namespace key {
inline constexpr std::string_view kColumns = "columns";
inline constexpr std::string_view kRows = "rows";
inline constexpr std::string_view kName = "name";
inline constexpr std::string_view kType = "type";
inline constexpr std::string_view kSize = "size";
} // namespace key
inline constexpr std::string_view kTypeText = "text";
inline constexpr std::string_view kTypeNumber = "number";

struct Column
{
    const char* name;
    bool text; // else a number (IEEE double)
    int size;  // most characters, text only
};

struct PacketLayout
{
    const char* table; // the module's table that loads the packet
    std::span<const Column> columns;
};

namespace detail {
constexpr Column text(const char* name, int size)
{
    return {name, true, size};
}
constexpr Column number(const char* name)
{
    return {name, false, 0};
}

inline constexpr std::array kCaixa{text("CDFILIAL", 4), text("CDCAIXA", 3)};
inline constexpr std::array kDadosDotz{text("CDFILIAL", 4),
                                       text("CDCAIXA", 3),
                                       text("NRCUPOMFIS", 10),
                                       text("CDIDCLIENTEDOTZ", 20),
                                       text("CDOPERADOR", 12),
                                       text("DATA", 10),
                                       text("HORA", 8),
                                       number("VRTOTVENDA"),
                                       text("CDPROMOCAODOTZ", 20),
                                       text("CDINTEGRADOTZ", 20),
                                       text("DSDIRARQDOTZ", 100),
                                       number("NRDOTZ")};
inline constexpr std::array kDotzExtra{text("CDFILIAL", 4),       text("CDCAIXA", 3),
                                       text("NRCUPOMFIS", 10),    text("CDIDCLIENTEDOTZ", 20),
                                       text("CDPRODUTO", 10),     number("VRUNITVEND"),
                                       number("QTPRODVEND"),      number("VRTOTAL"),
                                       text("CDBARPRODUTO", 30),  text("CDPROMOCAODOTZ", 20),
                                       text("CDINTEGRADOTZ", 20), text("DSDIRARQDOTZ", 100),
                                       number("NRDOTZ")};
inline constexpr std::array kConfigDotz{
    text("CDFILIAL", 4),       text("CDPRODUTO", 10),    number("VRPRECITEM"),
    text("NMPRODUTO", 50),     text("CDBARPRODUTO", 30), text("CDPROMOCAODOTZ", 20),
    text("DTINIVIGPROD", 10),  text("DTFIMVIGPROD", 10), number("VRPONTOPROD"),
    text("CDINTEGRADOTZ", 20), text("DSDIRARQDOTZ", 100)};
} // namespace detail

// The packets of GetPrincipal's reply, in its slot order.
inline constexpr std::array<PacketLayout, 4> kPackets{{
    {"cdsCaixa", detail::kCaixa},
    {"cdsDadosDotz", detail::kDadosDotz},
    {"cdsDotzExtra", detail::kDotzExtra},
    {"cdsConfigDotz", detail::kConfigDotz},
}};

} // namespace dotz::wire
