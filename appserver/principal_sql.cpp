#include "principal_sql.h"

#include "export/error.h"

#include <algorithm>

namespace dotz::appserver {

namespace {

std::string branchFilter(const std::string& column, const BranchSelector& selector)
{
    if (selector.all)
        return "1 = 1";
    std::string sql = column + " IN (";
    for (size_t i = 0; i < selector.codes.size(); ++i)
        sql += i ? ", ?" : "?";
    return sql + ")";
}

std::string dateText(Engine engine, const std::string& column)
{
    return engine == Engine::Postgres ? "to_char(" + column + ", 'YYYY-MM-DD')" : column;
}

std::string timeText(Engine engine, const std::string& column)
{
    return engine == Engine::Postgres ? "to_char(" + column + ", 'HH24:MI:SS')" : column;
}

} // namespace

std::string querySql(PrincipalQuery query, Engine engine, const BranchSelector& selector)
{
    // Every packet is ordered by branch first: the module writes one file per run
    // of rows of the same branch.
    switch (query) {
    case PrincipalQuery::Branches:
        return "SELECT f.CDFILIAL, f.CDINTEGRADOTZ, f.DSDIRARQDOTZ FROM FILIAL f WHERE " +
               branchFilter("f.CDFILIAL", selector);
    case PrincipalQuery::Tills:
        return "SELECT c.CDFILIAL, c.CDCAIXA FROM CAIXA c WHERE " +
               branchFilter("c.CDFILIAL", selector) + " ORDER BY c.CDFILIAL, c.CDCAIXA";
    case PrincipalQuery::Sales:
        return "SELECT v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS, v.CDIDCLIENTEDOTZ, v.CDOPERADOR, " +
               dateText(engine, "v.DTVENDA") + ", " + timeText(engine, "v.HRVENDA") +
               ", v.VRTOTVENDA, v.CDPROMOCAODOTZ, v.NRDOTZ"
               " FROM VENDA v"
               " WHERE v.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND " +
               branchFilter("v.CDFILIAL", selector) +
               " ORDER BY v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS";
    case PrincipalQuery::Items:
        if (engine == Engine::Sqlite)
            // SQLite would seek each item's sale and product (PostgreSQL merges the
            // one and memoizes the other): the reader pairs the items with
            // ItemSales in one pass and looks each product up once, filling the
            // two NULLs.
            return "SELECT i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, NULL, i.CDPRODUTO,"
                   " i.VRUNITVEND, i.QTPRODVEND, i.VRTOTAL, NULL, i.CDPROMOCAODOTZ,"
                   " i.NRDOTZEXTRA"
                   " FROM ITEMVENDA i WHERE i.DTVENDA = ? AND i.NRDOTZEXTRA > 0 AND " +
                   branchFilter("i.CDFILIAL", selector) +
                   " ORDER BY i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, i.NRSEQITEM";
        return "SELECT i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, v.CDIDCLIENTEDOTZ, i.CDPRODUTO,"
               " i.VRUNITVEND, i.QTPRODVEND, i.VRTOTAL, p.CDBARPRODUTO, i.CDPROMOCAODOTZ,"
               " i.NRDOTZEXTRA"
               " FROM ITEMVENDA i"
               " JOIN VENDA v ON v.DTVENDA = i.DTVENDA AND v.CDFILIAL = i.CDFILIAL"
               " AND v.CDCAIXA = i.CDCAIXA AND v.NRCUPOMFIS = i.NRCUPOMFIS"
               " JOIN PRODUTO p ON p.CDPRODUTO = i.CDPRODUTO"
               " WHERE i.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND i.NRDOTZEXTRA > 0"
               " AND " +
               branchFilter("i.CDFILIAL", selector) +
               " ORDER BY i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, i.NRSEQITEM";
    case PrincipalQuery::ItemSales:
        return "SELECT v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS, v.CDIDCLIENTEDOTZ FROM VENDA v"
               " WHERE v.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND " +
               branchFilter("v.CDFILIAL", selector) +
               " ORDER BY v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS";
    case PrincipalQuery::ProductBarcode:
        return "SELECT p.CDBARPRODUTO FROM PRODUTO p WHERE p.CDPRODUTO = ?";
    case PrincipalQuery::Promotions:
        // The branches' promotions; their products come from PromotionProducts,
        // read once however many branches share a promotion.
        return "SELECT pf.CDFILIAL, pf.CDPROMOCAODOTZ FROM PROMOCAODOTZFILIAL pf"
               " JOIN PROMOCAODOTZ pr ON pr.CDPROMOCAODOTZ = pf.CDPROMOCAODOTZ"
               " WHERE pr.DTINIVIG <= ? AND pr.DTFIMVIG >= ? AND " +
               branchFilter("pf.CDFILIAL", selector) + " ORDER BY pf.CDFILIAL, pf.CDPROMOCAODOTZ";
    case PrincipalQuery::PromotionProducts:
        return "SELECT pp.CDPRODUTO, pp.VRPRECITEM, p.NMPRODUTO, p.CDBARPRODUTO,"
               " pp.CDPROMOCAODOTZ, " +
               dateText(engine, "pp.DTINIVIGPROD") + ", " + dateText(engine, "pp.DTFIMVIGPROD") +
               ", pp.VRPONTOPROD"
               // CROSS JOIN: SQLite then reads no products of promotions not running.
               " FROM PROMOCAODOTZ pr CROSS JOIN PRODPROMODOTZ pp CROSS JOIN PRODUTO p"
               " WHERE pp.CDPROMOCAODOTZ = pr.CDPROMOCAODOTZ AND p.CDPRODUTO = pp.CDPRODUTO"
               " AND pr.DTINIVIG <= ? AND pr.DTFIMVIG >= ? AND pr.CDPROMOCAODOTZ IN"
               " (SELECT pf.CDPROMOCAODOTZ FROM PROMOCAODOTZFILIAL pf WHERE " +
               branchFilter("pf.CDFILIAL", selector) + ") ORDER BY pr.CDPROMOCAODOTZ, pp.CDPRODUTO";
    }
    throw Error("no query " + std::to_string(static_cast<int>(query)));
}

std::vector<std::string> queryParameters(PrincipalQuery query, const BranchSelector& selector,
                                         const std::string& day)
{
    std::vector<std::string> params;
    if (query == PrincipalQuery::Sales || query == PrincipalQuery::Items ||
        query == PrincipalQuery::ItemSales)
        params.push_back(day);
    if (query == PrincipalQuery::Promotions || query == PrincipalQuery::PromotionProducts)
        params.insert(params.end(), {day, day});
    if (!selector.all)
        params.insert(params.end(), selector.codes.begin(), selector.codes.end());
    return params;
}

std::vector<Source> sources(int slot)
{
    std::vector<Source> out;
    int query = 0;
    int product = 0;
    for (const wire::Column& c : wire::kPackets[static_cast<size_t>(slot)].columns) {
        const std::string_view name = c.name;
        if (slot > 0 && name == "CDINTEGRADOTZ")
            out.push_back({Source::Partner, 0});
        else if (slot > 0 && name == "DSDIRARQDOTZ")
            out.push_back({Source::Folder, 0});
        else if (slot == 3 && name != "CDFILIAL")
            out.push_back({Source::Product, product++});
        else
            out.push_back({Source::Query, query++});
    }
    return out;
}

std::vector<bool> textColumns(PrincipalQuery query)
{
    if (query == PrincipalQuery::Promotions)
        return {true, true}; // CDFILIAL, CDPROMOCAODOTZ
    const bool products = query == PrincipalQuery::PromotionProducts;
    const auto found = std::find(kSlotQueries.begin(), kSlotQueries.end(), query);
    if (!products && found == kSlotQueries.end())
        throw Error("no packet of query " + std::to_string(static_cast<int>(query)));
    const auto slot = products ? size_t{3} : static_cast<size_t>(found - kSlotQueries.begin());
    const Source::From wanted = products ? Source::Product : Source::Query;
    const std::vector<Source> from = sources(static_cast<int>(slot));
    std::vector<bool> text;
    for (size_t c = 0; c < from.size(); ++c)
        if (from[c].from == wanted)
            text.push_back(wire::kPackets[slot].columns[c].text);
    return text;
}

} // namespace dotz::appserver
