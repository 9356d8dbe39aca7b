#pragma once
// The four packets of GetPrincipal: their columns (as the module declares its
// tables), the SQL that fills them, and the streaming encoder.
#include "json_out.h"
#include "selector.h"
#include "store.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

struct WireColumn
{
    const char* name;
    bool text;
    int size; // most characters, text only
};

struct PacketLayout
{
    const char* table; // the module's table that loads the packet
    std::vector<WireColumn> columns;
};

// In slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra, cdsConfigDotz.
const std::array<PacketLayout, 4>& packetLayouts();

// The query of one slot for an engine and a selector; parameters in the order
// returned by queryParameters(). The packets leave out the branch's settings,
// the same for each of its rows: kBranchSlot reads them once per call. Slot 3
// reads the branches' promotions, and kPromotionProducts their products. On
// SQLite, slot 2 leaves out its items' customers and barcodes: kItemSales and
// kProductBarcode (one product, its code the only parameter) give them.
constexpr int kBranchSlot = -1;
constexpr int kPromotionProducts = 4;
constexpr int kItemSales = 5;
constexpr int kProductBarcode = 6;
std::string packetQuery(int slot, Engine engine, const BranchSelector& selector);
std::vector<std::string> queryParameters(int slot, const BranchSelector& selector,
                                         const std::string& day);

struct PrincipalCounts
{
    std::array<size_t, 4> rows{};
};

// Runs a task on a thread beside the caller's, one that is free (QueryPool::helper).
using RunBeside = std::function<void(std::function<void()>)>;

// Writes the result envelope {"ok":true,"data":[P0,P1,P2,P3]} of one day, the four
// queries in one read transaction, read on the thread that `beside` gives. Throws
// dotz::Error when the store fails or a value cannot be written (naming packet,
// column, row and branch); texts are never cut, nor refused for their length.

void writePrincipal(Store& store, const BranchSelector& selector, const std::string& day,
                    JsonOut& out, PrincipalCounts& counts, const RunBeside& beside);

} // namespace dotz::appserver
