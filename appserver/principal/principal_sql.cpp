#include "principal_sql.h"

#include "base/error.h"

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

// A packet's column, in its layout's order: where it comes from and, for the
// query's and the products' columns, its SQL.
struct Pick
{
    Source::From from;
    std::string sql;
};

// The promotion of a product: what PromotionProducts groups its rows by.
const std::string kProductPromotion = "pp.CDPROMOCAODOTZ";

std::vector<Pick> picks(int slot, Engine engine)
{
    using From = Source::From;
    const auto q = [](std::string sql) { return Pick{From::Query, std::move(sql)}; };
    const auto product = [](std::string sql) { return Pick{From::Product, std::move(sql)}; };
    const Pick partner{From::Partner, {}};
    const Pick folder{From::Folder, {}};
    switch (slot) {
    case 0:
        return {q("c.CDFILIAL"), q("c.CDCAIXA")};
    case 1:
        return {q("v.CDFILIAL"),
                q("v.CDCAIXA"),
                q("v.NRCUPOMFIS"),
                q("v.CDIDCLIENTEDOTZ"),
                q("v.CDOPERADOR"),
                q(dateText(engine, "v.DTVENDA")),
                q(timeText(engine, "v.HRVENDA")),
                q("v.VRTOTVENDA"),
                q("v.CDPROMOCAODOTZ"),
                partner,
                folder,
                q("v.NRDOTZ")};
    case 2: {
        // SQLite would seek each item's sale and product (PostgreSQL merges the
        // one and memoizes the other): sqlite/items.cpp pairs the items with
        // ItemSales in one pass and looks each product up once, filling the
        // two NULLs.
        const bool sqlite = engine == Engine::Sqlite;
        return {q("i.CDFILIAL"),
                q("i.CDCAIXA"),
                q("i.NRCUPOMFIS"),
                q(sqlite ? "NULL" : "v.CDIDCLIENTEDOTZ"),
                q("i.CDPRODUTO"),
                q("i.VRUNITVEND"),
                q("i.QTPRODVEND"),
                q("i.VRTOTAL"),
                q(sqlite ? "NULL" : "p.CDBARPRODUTO"),
                q("i.CDPROMOCAODOTZ"),
                partner,
                folder,
                q("i.NRDOTZEXTRA")};
    }
    case 3:
        return {q("pf.CDFILIAL"),
                product("pp.CDPRODUTO"),
                product("pp.VRPRECITEM"),
                product("p.NMPRODUTO"),
                product("p.CDBARPRODUTO"),
                product(kProductPromotion),
                product(dateText(engine, "pp.DTINIVIGPROD")),
                product(dateText(engine, "pp.DTFIMVIGPROD")),
                product("pp.VRPONTOPROD"),
                partner,
                folder};
    }
    throw Error("no packet " + std::to_string(slot));
}

// The SQL of the picks that come from one place, as a select list.
std::string selectList(const std::vector<Pick>& picked, Source::From from)
{
    std::string list;
    for (const Pick& p : picked)
        if (p.from == from)
            list += (list.empty() ? "" : ", ") + p.sql;
    return list;
}

std::string querySql(PrincipalQuery query, Engine engine, const BranchSelector& selector)
{
    const auto select = [engine](int slot, Source::From from = Source::Query) {
        return "SELECT " + selectList(picks(slot, engine), from);
    };
    // Every packet is ordered by branch first: the module writes one file per run
    // of rows of the same branch.
    switch (query) {
    case PrincipalQuery::Branches:
        return "SELECT f.CDFILIAL, f.CDINTEGRADOTZ, f.DSDIRARQDOTZ FROM FILIAL f WHERE " +
               branchFilter("f.CDFILIAL", selector);
    case PrincipalQuery::Tills:
        return select(0) + " FROM CAIXA c WHERE " + branchFilter("c.CDFILIAL", selector) +
               " ORDER BY c.CDFILIAL, c.CDCAIXA";
    case PrincipalQuery::Sales:
        return select(1) +
               " FROM VENDA v"
               " WHERE v.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND " +
               branchFilter("v.CDFILIAL", selector) +
               " ORDER BY v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS";
    case PrincipalQuery::Items:
        if (engine == Engine::Sqlite)
            return select(2) + " FROM ITEMVENDA i WHERE i.DTVENDA = ? AND i.NRDOTZEXTRA > 0 AND " +
                   branchFilter("i.CDFILIAL", selector) +
                   " ORDER BY i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, i.NRSEQITEM";
        return select(2) +
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
        return select(3) +
               ", pf.CDPROMOCAODOTZ FROM PROMOCAODOTZFILIAL pf"
               " JOIN PROMOCAODOTZ pr ON pr.CDPROMOCAODOTZ = pf.CDPROMOCAODOTZ"
               " WHERE pr.DTINIVIG <= ? AND pr.DTFIMVIG >= ? AND " +
               branchFilter("pf.CDFILIAL", selector) + " ORDER BY pf.CDFILIAL, pf.CDPROMOCAODOTZ";
    case PrincipalQuery::PromotionProducts:
        return select(3, Source::Product) +
               // CROSS JOIN: SQLite then reads no products of promotions not running.
               " FROM PROMOCAODOTZ pr CROSS JOIN PRODPROMODOTZ pp CROSS JOIN PRODUTO p"
               " WHERE pp.CDPROMOCAODOTZ = pr.CDPROMOCAODOTZ AND p.CDPRODUTO = pp.CDPRODUTO"
               " AND pr.DTINIVIG <= ? AND pr.DTFIMVIG >= ? AND pr.CDPROMOCAODOTZ IN"
               " (SELECT pf.CDPROMOCAODOTZ FROM PROMOCAODOTZFILIAL pf WHERE " +
               branchFilter("pf.CDFILIAL", selector) + ") ORDER BY pr.CDPROMOCAODOTZ, pp.CDPRODUTO";
    }
    throw Error("no query " + std::to_string(static_cast<int>(query)));
}

} // namespace

Statement statement(PrincipalQuery query, Engine engine, const BranchSelector& selector,
                    const std::string& day)
{
    Statement s{querySql(query, engine, selector), {}};
    if (query == PrincipalQuery::Sales || query == PrincipalQuery::Items ||
        query == PrincipalQuery::ItemSales)
        s.params.push_back(day);
    if (query == PrincipalQuery::Promotions || query == PrincipalQuery::PromotionProducts)
        s.params.insert(s.params.end(), {day, day});
    if (!selector.all && query != PrincipalQuery::ProductBarcode)
        s.params.insert(s.params.end(), selector.codes.begin(), selector.codes.end());
    return s;
}

const std::vector<Source>& sources(int slot)
{
    // The same for every call and engine: made once.
    static const std::array<std::vector<Source>, wire::kPacketCount> all = [] {
        std::array<std::vector<Source>, wire::kPacketCount> made;
        for (size_t k = 0; k < made.size(); ++k) {
            const wire::PacketLayout& layout = wire::kPackets[k];
            const std::vector<Pick> picked = picks(static_cast<int>(k), Engine::Sqlite);
            if (picked.size() != layout.columns.size())
                throw Error(std::string("the query of ") + layout.table +
                            " does not pick its columns");
            int query = 0;
            int product = 0;
            for (const Pick& p : picked)
                made[k].push_back({p.from, p.from == Source::Query     ? query++
                                           : p.from == Source::Product ? product++
                                                                       : 0});
        }
        return made;
    }();
    return all.at(static_cast<size_t>(slot));
}

int productPromotionColumn()
{
    static const int column = [] {
        int n = 0;
        for (const Pick& p : picks(3, Engine::Sqlite)) {
            if (p.from != Source::Product)
                continue;
            if (p.sql == kProductPromotion)
                return n;
            ++n;
        }
        throw Error("no promotion among the products' columns");
    }();
    return column;
}

std::vector<bool> textColumns(PrincipalQuery query)
{
    const bool products = query == PrincipalQuery::PromotionProducts;
    const auto found = std::find(kSlotQueries.begin(), kSlotQueries.end(), query);
    if (!products && found == kSlotQueries.end())
        throw Error("no packet of query " + std::to_string(static_cast<int>(query)));
    const auto slot = products ? size_t{3} : static_cast<size_t>(found - kSlotQueries.begin());
    const Source::From wanted = products ? Source::Product : Source::Query;
    const std::vector<Source>& from = sources(static_cast<int>(slot));
    std::vector<bool> text;
    for (size_t c = 0; c < from.size(); ++c)
        if (from[c].from == wanted)
            text.push_back(wire::kPackets[slot].columns[c].text);
    if (query == PrincipalQuery::Promotions) // and the promotion, as its products have it
        text.push_back(textColumns(PrincipalQuery::PromotionProducts)
                           .at(static_cast<size_t>(productPromotionColumn())));
    return text;
}

} // namespace dotz::appserver
