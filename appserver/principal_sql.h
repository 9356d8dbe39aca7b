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

// The queries of a call. The packets' queries leave out the branch's settings,
// the same for each of its rows: Branches reads them once per call.
enum class PrincipalQuery {
    Tills,             // cdsCaixa
    Sales,             // cdsDadosDotz
    Items,             // cdsDotzExtra; on SQLite without the customer and barcode
    Promotions,        // cdsConfigDotz: the branches' promotions
    Branches,          // each branch's partner code and folder
    PromotionProducts, // the products of those promotions, read once per call
    ItemSales,         // SQLite: the customers of the items' sales, in the items' order
    ProductBarcode,    // SQLite: one product's barcode, its code the only parameter
};
// The query that fills each packet, in slot order.
inline constexpr std::array<PrincipalQuery, 4> kSlotQueries{
    PrincipalQuery::Tills, PrincipalQuery::Sales, PrincipalQuery::Items,
    PrincipalQuery::Promotions};

// The SQL of a query for an engine and a selector; parameters in the order
// returned by queryParameters().
std::string querySql(PrincipalQuery query, Engine engine, const BranchSelector& selector);
std::vector<std::string> queryParameters(PrincipalQuery query, const BranchSelector& selector,
                                         const std::string& day);

// Where a packet's column comes from: the query's row, the branch's settings
// (read once per call), or a promotion's product.
struct Source
{
    enum From { Query, Partner, Folder, Product } from;
    int column; // in the query's row or the product's
};
std::vector<Source> sources(int slot);
// Which columns of a packet's query, or of PromotionProducts, are texts.
std::vector<bool> textColumns(PrincipalQuery query);

} // namespace dotz::appserver
