#pragma once
// What the module and the application server must agree on: where the server
// object answers, the envelope of its result, and the columns of the four
// packets of GetPrincipal. Both sides are built from these definitions, so a
// change here changes the wire: a module and a server of different builds
// refuse each other's packets.
#include <array>
#include <cstddef>
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
// The most characters of a branch code (CDFILIAL).
inline constexpr int kBranchCodeSize = 4;

// The keys of GetPrincipal's result: {"ok":true,"data":[P0,P1,P2,P3]}, or
// {"ok":false,"message":M} with "retry":true when another server of the store
// may not meet the failure either.
namespace envelope {
inline constexpr std::string_view kOk = "ok";
inline constexpr std::string_view kData = "data";
inline constexpr std::string_view kMessage = "message";
inline constexpr std::string_view kRetry = "retry";
} // namespace envelope

// GetPrincipal's packets, and the slot of each in its reply.
inline constexpr size_t kPacketCount = 4;
namespace slot {
inline constexpr size_t kCaixa = 0;
inline constexpr size_t kDadosDotz = 1;
inline constexpr size_t kDotzExtra = 2;
inline constexpr size_t kConfigDotz = 3;
} // namespace slot

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
// CDFILIAL, the first column of every packet.
constexpr Column branch()
{
    return text("CDFILIAL", kBranchCodeSize);
}

inline constexpr std::array kCaixa{branch(), text("CDCAIXA", 3)};
inline constexpr std::array kDadosDotz{branch(),
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
inline constexpr std::array kDotzExtra{branch(),
                                       text("CDCAIXA", 3),
                                       text("NRCUPOMFIS", 10),
                                       text("CDIDCLIENTEDOTZ", 20),
                                       text("CDPRODUTO", 10),
                                       number("VRUNITVEND"),
                                       number("QTPRODVEND"),
                                       number("VRTOTAL"),
                                       text("CDBARPRODUTO", 30),
                                       text("CDPROMOCAODOTZ", 20),
                                       text("CDINTEGRADOTZ", 20),
                                       text("DSDIRARQDOTZ", 100),
                                       number("NRDOTZ")};
inline constexpr std::array kConfigDotz{branch(),
                                        text("CDPRODUTO", 10),
                                        number("VRPRECITEM"),
                                        text("NMPRODUTO", 50),
                                        text("CDBARPRODUTO", 30),
                                        text("CDPROMOCAODOTZ", 20),
                                        text("DTINIVIGPROD", 10),
                                        text("DTFIMVIGPROD", 10),
                                        number("VRPONTOPROD"),
                                        text("CDINTEGRADOTZ", 20),
                                        text("DSDIRARQDOTZ", 100)};
} // namespace detail

// The packets of GetPrincipal's reply, in its slot order.
inline constexpr std::array<PacketLayout, kPacketCount> kPackets{{
    {"cdsCaixa", detail::kCaixa},
    {"cdsDadosDotz", detail::kDadosDotz},
    {"cdsDotzExtra", detail::kDotzExtra},
    {"cdsConfigDotz", detail::kConfigDotz},
}};

} // namespace dotz::wire
