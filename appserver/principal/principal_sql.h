#pragma once
// The queries of GetPrincipal: each built in one place, for either engine, and
// where each packet column comes from. The packets' columns are the
// module's (base/wire_contract.h); here they are only picked.
#include "selector.h"

#include "appserver/stores/store.h"

#include "base/wire_contract.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace dotz::appserver {

// The queries of a call. The packets' queries leave out the branch's settings,
// the same for each of its rows: Branches reads them once per call.
enum class PrincipalQuery {
    Tills,             // cdsCaixa
    Sales,             // cdsDadosDotz
    Items,             // cdsDotzExtra
    Promotions,        // cdsConfigDotz: the branches' promotions
    Branches,          // each branch's partner code and folder
    PromotionProducts, // the products of those promotions, read once per call
    ItemSales,         // SQLite's Items: the customers of the items' sales
    ProductBarcode,    // SQLite's Items: one product's barcode
};
// The query that fills each packet, in slot order.
inline constexpr std::array<PrincipalQuery, wire::kPacketCount> kSlotQueries{
    PrincipalQuery::Tills, PrincipalQuery::Sales, PrincipalQuery::Items,
    PrincipalQuery::Promotions};

// A query for one engine: "?" marks each parameter, in the order of params.
struct Statement
{
    std::string sql;
    std::vector<std::string> params;
};
// ProductBarcode's one parameter is the product's code, given by its reader.
Statement statement(PrincipalQuery query, Engine engine, const BranchSelector& selector,
                    const std::string& day);

// Where a packet's column comes from: the query's row, the branch's settings
// (read once per call), or a promotion's product.
struct Source
{
    enum From { Query, Partner, Folder, Product } from;
    int column; // in the query's row or the product's
};
const std::vector<Source>& sources(int slot);
// The column of PromotionProducts that names the product's promotion (the
// second column of Promotions).
int productPromotionColumn();
// Which columns of a packet's query, of Promotions, or of PromotionProducts, are texts.
std::vector<bool> textColumns(PrincipalQuery query);

} // namespace dotz::appserver
