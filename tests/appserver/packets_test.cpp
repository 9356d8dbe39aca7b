#include "appserver/principal/principal.h"
#include "appserver/principal/principal_sql.h"

#include "base/error.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dotz::appserver;

namespace {

std::string written(const std::function<void(JsonOut&)>& write)
{
    std::string out;
    JsonOut json([&](std::string_view piece) { out.append(piece); });
    write(json);
    json.finish();
    return out;
}

TEST(JsonOut, WritesStringsEscapedAndCountsCharacters)
{
    struct Case
    {
        std::string text;
        std::string json;
        size_t characters;
    };
    const Case cases[] = {
        {"", "\"\"", 0},
        {"C:\\DOTZ\\LOJA0001\\", "\"C:\\\\DOTZ\\\\LOJA0001\\\\\"", 17},
        {"say \"oi\"", "\"say \\\"oi\\\"\"", 8},
        {"a\tb\n\x01", "\"a\\u0009b\\u000a\\u0001\"", 5},
        {"Feijão Três Corações", "\"Feijão Três Corações\"", 20},
        {"€ 5", "\"€ 5\"", 3},
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\"", 1},
    };
    for (const Case& c : cases) {
        size_t characters = 0;
        EXPECT_EQ(written([&](JsonOut& j) { characters = j.string(c.text); }), c.json);
        EXPECT_EQ(characters, c.characters) << c.text;
    }
}

TEST(JsonOut, RefusesTextThatIsNotUtf8)
{
    for (const std::string bad :
         {"Jo\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF5\x80\x80\x80", "ok\xFF", "\xE2\x82", "\x80"}) {
        std::string out;
        JsonOut json([&](std::string_view piece) { out.append(piece); });
        EXPECT_THROW(json.string(bad), dotz::Error);
    }
}

TEST(JsonOut, WritesNumbersShortestAndRefusesNonFinite)
{
    EXPECT_EQ(written([](JsonOut& j) {
                  for (double v : {0.0, 150.0, 2.5, 205.18, 0.1, -3.75, 1e21, 1.0 / 3}) {
                      j.number(v);
                      j.raw(" ");
                  }
              }),
              "0 150 2.5 205.18 0.1 -3.75 1e+21 0.3333333333333333 ");
    std::string out;
    JsonOut json([&](std::string_view piece) { out.append(piece); });
    EXPECT_THROW(json.number(std::nan("")), dotz::Error);
    EXPECT_THROW(json.number(INFINITY), dotz::Error);
}

TEST(JsonOut, HandsOnPiecesOnlyPastTheThreshold)
{
    std::vector<size_t> pieces;
    JsonOut json([&](std::string_view piece) { pieces.push_back(piece.size()); }, 100);
    json.raw(std::string(60, ' '));
    json.maybeFlush();
    EXPECT_FALSE(json.flushed());
    json.raw(std::string(60, ' '));
    json.maybeFlush();
    EXPECT_TRUE(json.flushed());
    json.raw("x");
    json.finish();
    EXPECT_EQ(pieces, (std::vector<size_t>{120, 1}));
}

TEST(PacketQueries, BindEveryCodeAsAParameter)
{
    BranchSelector two{false, {"0001", "O'K"}};
    using Q = PrincipalQuery;
    for (Q query : {Q::Tills, Q::Sales, Q::Items, Q::Promotions, Q::Branches, Q::PromotionProducts,
                    Q::ItemSales}) {
        for (Engine engine : {Engine::Sqlite, Engine::Postgres}) {
            const Statement s = statement(query, engine, two, "2024-03-15");
            EXPECT_EQ(s.sql.find("0001"), std::string::npos) << s.sql;
            EXPECT_EQ(s.sql.find("O'K"), std::string::npos) << s.sql;
            EXPECT_NE(s.sql.find("IN (?, ?)"), std::string::npos) << s.sql;
        }
        const auto params = statement(query, Engine::Sqlite, two, "2024-03-15").params;
        EXPECT_EQ(params.back(), "O'K");
        EXPECT_EQ(params.size(), query == Q::Tills || query == Q::Branches                 ? 2u
                                 : query == Q::Promotions || query == Q::PromotionProducts ? 4u
                                                                                           : 3u);
    }
}

} // namespace
