// Prints, as a psql script, the PostgreSQL queries of one GetPrincipal call in
// the order and transaction the server runs them, each as COPY (...) TO STDOUT:
// the floor that bench/appserver/pg_floor.sh times against the server.
#include "appserver/principal/principal_sql.h"
#include "appserver/principal/selector.h"

#include <cstdio>
#include <exception>
#include <string>

using namespace dotz::appserver;

namespace {

std::string literal(const std::string& value)
{
    std::string out = "'";
    for (char c : value)
        out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// The parameters in place of the "?" marks, outside quotes.
std::string inlined(const std::string& sql, const std::vector<std::string>& params)
{
    std::string out;
    size_t next = 0;
    bool quoted = false;
    for (char c : sql) {
        if (c == '\'')
            quoted = !quoted;
        if (c == '?' && !quoted)
            out += literal(params.at(next++));
        else
            out += c;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DAY [SELECTOR]\n", argv[0]);
        return 2;
    }
    try {
        const std::string day = argv[1];
        const BranchSelector selector = parseSelector(argc > 2 ? argv[2] : "T");
        std::printf("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY;\n");
        for (PrincipalQuery q : {PrincipalQuery::Branches, PrincipalQuery::Tills,
                                 PrincipalQuery::Sales, PrincipalQuery::Items,
                                 PrincipalQuery::PromotionProducts, PrincipalQuery::Promotions}) {
            const Statement st = statement(q, Engine::Postgres, selector, day);
            std::printf("COPY (%s) TO STDOUT;\n", inlined(st.sql, st.params).c_str());
        }
        std::printf("COMMIT;\n");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
