#include "server_fixture.h"

#include "appserver/stores/store_engines.h"

#include "base/cp1252.h"
#include "base/error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

std::string dump(const std::string& db)
{
    auto store = openStore(db, readOnly());
    std::string out;
    const std::pair<const char*, int> tables[] = {{"FILIAL", 4},
                                                  {"CAIXA", 2},
                                                  {"PRODUTO", 4},
                                                  {"PROMOCAODOTZ", 4},
                                                  {"PROMOCAODOTZFILIAL", 2},
                                                  {"PRODPROMODOTZ", 6},
                                                  {"VENDA", 10},
                                                  {"ITEMVENDA", 11}};
    for (const auto& [table, columns] : tables) {
        // clang 14 cannot capture a structured binding: its value is named in the capture.
        store->query(std::string("SELECT * FROM ") + table, {}, [&out, n = columns](const Row& r) {
            for (int c = 0; c < n; ++c)
                out += r.isNull(c) ? "~|" : std::string(r.text(c)) + "|";
            out += '\n';
        });
    }
    return out;
}

std::vector<std::string> column(const std::string& db, const std::string& sql)
{
    auto store = openStore(db, readOnly());
    std::vector<std::string> values;
    store->query(sql, {}, [&](const Row& r) { values.emplace_back(r.text(0)); });
    return values;
}

TEST(Demo, TheSameSeedGivesTheSameData)
{
    TempDir dir;
    DemoOptions other = smallDemo();
    other.seed = 43;
    const std::string a = dump(makeDemoDb(dir, smallDemo(), "a.db"));
    EXPECT_EQ(a, dump(makeDemoDb(dir, smallDemo(), "b.db")));
    EXPECT_NE(a, dump(makeDemoDb(dir, other, "c.db")));
}

TEST(Demo, SizesFollowTheFlags)
{
    TempDir dir;
    DemoOptions o = smallDemo();
    o.branches = 5;
    o.tills = 3;
    o.days = 2;
    o.salesPerDay = 401;
    const std::string db = makeDemoDb(dir, o);
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM FILIAL")[0], "5");
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM CAIXA")[0], "15");
    EXPECT_EQ(column(db, "SELECT DISTINCT DTVENDA FROM VENDA ORDER BY 1"),
              (std::vector<std::string>{"2024-03-14", "2024-03-15"}));
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM VENDA WHERE CDIDCLIENTEDOTZ IS NOT NULL GROUP BY "
                         "DTVENDA"),
              (std::vector<std::string>{"401", "401"}));
    const long long items =
        std::stoll(column(db, "SELECT COUNT(*) FROM ITEMVENDA WHERE NRDOTZEXTRA > 0")[0]);
    EXPECT_GT(items, 401 * 2 * 8 / 10);
    EXPECT_LT(items, 401 * 2 * 12 / 10);
    EXPECT_GT(std::stoll(column(db, "SELECT COUNT(*) FROM VENDA WHERE CDIDCLIENTEDOTZ IS NULL")[0]),
              0);
}

TEST(Demo, DataLooksLikeARetailBackOffice)
{
    TempDir dir;
    DemoOptions o = smallDemo();
    o.salesPerDay = 600;
    o.branches = 48; // the neighbourhoods twice over
    const std::string db = makeDemoDb(dir, o);
    EXPECT_EQ(column(db, "SELECT NMFILIAL FROM FILIAL WHERE CDFILIAL IN ('0024', '0025', '0048') "
                         "ORDER BY CDFILIAL"),
              (std::vector<std::string>{"Loja Niterói", "Loja Centro 2", "Loja Niterói 2"}));
    // Packaged goods' bar codes carry their EAN-13 check digit; the 13-character
    // customer codes start with D.
    for (const std::string& code :
         column(db, "SELECT CDBARPRODUTO FROM PRODUTO WHERE CDBARPRODUTO LIKE '789%'")) {
        ASSERT_EQ(code.size(), 13u) << code;
        int sum = 0;
        for (size_t i = 0; i < 12; ++i) {
            ASSERT_TRUE(code[i] >= '0' && code[i] <= '9') << code;
            sum += (code[i] - '0') * (i % 2 ? 3 : 1);
        }
        EXPECT_EQ(code[12] - '0', (10 - sum % 10) % 10) << code;
    }
    for (const std::string& id : column(db, "SELECT CDIDCLIENTEDOTZ FROM VENDA WHERE "
                                            "length(CDIDCLIENTEDOTZ) = 13"))
        EXPECT_EQ(id[0], 'D') << id;

    std::map<size_t, int> idLengths;
    for (const std::string& id : column(db, "SELECT CDIDCLIENTEDOTZ FROM VENDA WHERE "
                                            "CDIDCLIENTEDOTZ IS NOT NULL"))
        ++idLengths[id.size()];
    EXPECT_GT(idLengths[16], idLengths[11] + idLengths[13]);
    EXPECT_GT(idLengths[11], 0);
    EXPECT_GT(idLengths[13], 0);

    auto fractional = [&](const std::string& sql) {
        int n = 0;
        for (const std::string& v : column(db, sql))
            n += std::stod(v) != std::floor(std::stod(v));
        return n;
    };
    EXPECT_GT(fractional("SELECT QTPRODVEND FROM ITEMVENDA"), 0);
    EXPECT_GT(fractional("SELECT NRDOTZ FROM VENDA WHERE NRDOTZ IS NOT NULL"), 0);
    EXPECT_GT(fractional("SELECT VRTOTVENDA FROM VENDA"), 0);
    for (const std::string& v : column(db, "SELECT VRTOTVENDA FROM VENDA")) {
        const double cents = std::stod(v) * 100;
        EXPECT_NEAR(cents, std::round(cents), 1e-6) << v;
    }

    // Accented names, all of them in Windows-1252, which the module converts them to.
    int accented = 0;
    for (const char* sql : {"SELECT NMFILIAL FROM FILIAL", "SELECT NMPRODUTO FROM PRODUTO"})
        for (const std::string& name : column(db, sql)) {
            EXPECT_NO_THROW(cp1252::fromUtf8(name, name));
            accented += cp1252::utf8Length(name) != name.size();
        }
    EXPECT_GT(accented, 10);
    for (const std::string& folder : column(db, "SELECT DSDIRARQDOTZ FROM FILIAL")) {
        EXPECT_TRUE(folder.starts_with("C:\\DOTZ\\LOJA")) << folder;
        EXPECT_TRUE(folder.ends_with("\\")) << folder;
    }
    EXPECT_EQ(column(db, "SELECT COUNT(*) FROM FILIAL WHERE CDINTEGRADOTZ IS NULL")[0], "0");
}

TEST(Demo, RefusesAFilledDatabaseAndBadSizes)
{
    TempDir dir;
    const std::string db = makeDemoDb(dir);
    auto store = openStore(db);
    EXPECT_THROW(
        {
            try {
                initDemo(*store, smallDemo());
            } catch (const Error& e) {
                EXPECT_NE(std::string(e.what()).find("already holds 3 branches"),
                          std::string::npos);
                throw;
            }
        },
        Error);

    const std::pair<void (*)(DemoOptions&), std::string> cases[] = {
        {[](DemoOptions& o) { o.branches = 0; }, "--branches"},
        {[](DemoOptions& o) { o.branches = 10000; }, "--branches"},
        {[](DemoOptions& o) { o.tills = 0; }, "--tills"},
        {[](DemoOptions& o) { o.days = 0; }, "--days"},
        {[](DemoOptions& o) { o.salesPerDay = -1; }, "--sales-per-day"},
        {[](DemoOptions& o) { o.firstDay = "2024-02-30"; }, "--first-day \"2024-02-30\""},
        {[](DemoOptions& o) { o.firstDay = "0001-02-01"; }, "outside the years 0001 to 9999"},
        {[](DemoOptions& o) { o.firstDay = "9999-12-01"; }, "outside the years 0001 to 9999"},
    };
    for (const auto& [change, says] : cases) {
        DemoOptions o = smallDemo();
        change(o);
        auto fresh = openStore((dir.path() / "fresh.db").string(), createFile());
        try {
            initDemo(*fresh, o);
            ADD_FAILURE() << says;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    }
}

} // namespace
