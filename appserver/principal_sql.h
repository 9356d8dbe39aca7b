#pragma once
// The four packets of GetPrincipal: their columns (as the module declares its
// tables), where each column comes from, and the SQL that fills them.
#include "selector.h"
#include "store.h"

#include <array>
#include <string>
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

// Where a packet's column comes from: the query's row, the branch's settings
// (read once per call), or a promotion's product.
struct Source
{
    enum From { Query, Partner, Folder, Product } from;
    int column; // in the query's row or the product's
};
std::vector<Source> sources(int slot);
// Which columns of a query (a slot's, or kPromotionProducts) are texts.
std::vector<bool> textColumns(int query);

} // namespace dotz::appserver
