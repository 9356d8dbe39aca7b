#pragma once
// The four packets of GetPrincipal: where each column comes from, and the SQL
// that fills them. Their columns are the module's (export/wire_contract.h).
#include "selector.h"
#include "store.h"

#include "export/wire_contract.h"

#include <array>
#include <string>
#include <vector>

namespace dotz::appserver {

using WireColumn = wire::Column;
using PacketLayout = wire::PacketLayout;

// In slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra, cdsConfigDotz.
inline const std::array<PacketLayout, 4>& packetLayouts()
{
    return wire::kPackets;
}

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
