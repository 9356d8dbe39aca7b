#include "server_fixture.h"

#include "appserver/principal/principal.h"
#include "appserver/principal/selector.h"
#include "appserver/stores/store_engines.h"

#include "base/error.h"
#include "tests/support/child_process.h"
#include "tests/support/export_tables.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

constexpr const char* kObjectPath = "/rpc/Krt52410.rdmExportaDotz";

// A whole reply parsed (tests may build the tree that the module never builds).
struct Reply
{
    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    std::string body;

    explicit Reply(std::string text) : body(std::move(text)) { doc = parser.parse(body); }
    bool hasResult() const { return doc["result"].error() == simdjson::SUCCESS; }
    bool ok() const { return bool(doc["result"]["ok"]); }
    std::string message() const { return std::string(std::string_view(doc["result"]["message"])); }
    simdjson::dom::element packet(size_t slot) const { return doc["result"]["data"].at(slot); }
    size_t rows(size_t slot) const { return simdjson::dom::array(packet(slot)["rows"]).size(); }
    int64_t errorCode() const { return int64_t(doc["error"]["code"]); }
};

Reply callPrincipal(int port, const std::string& selector, const std::string& day)
{
    auto res = postRaw(port, getPrincipalBody(selector, day));
    if (!res)
        throw std::runtime_error("no reply: " + httplib::to_string(res.error()));
    EXPECT_EQ(res->status, 200);
    return Reply(res->body);
}

long long countRows(const std::string& db, const std::string& sql,
                    const std::vector<std::string>& params = {})
{
    auto store = openStore(db, readOnly());
    long long n = -1;
    store->query(sql, params, [&](const Row& r) { n = static_cast<long long>(r.number(0)); });
    return n;
}

// Everything in the sales tables, to tell whether a request changed anything.
std::string fingerprint(const std::string& db)
{
    auto store = openStore(db, readOnly());
    std::string out;
    for (const char* sql :
         {"SELECT COUNT(*), SUM(VRTOTVENDA) FROM VENDA",
          "SELECT COUNT(*), SUM(VRTOTAL) FROM ITEMVENDA", "SELECT COUNT(*), 0 FROM FILIAL",
          "SELECT COUNT(*), 0 FROM PRODPROMODOTZ"})
        store->query(sql, {}, [&](const Row& r) {
            out += std::string(r.text(0)) + "/" + std::string(r.text(1)) + ";";
        });
    return out;
}

class ServerTest : public DemoServerTest
{
};

TEST_F(ServerTest, DescribesItsObjectAndRefusesOthers)
{
    httplib::Client client("127.0.0.1", port());
    auto res = client.Get(kObjectPath);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"object":"Krt52410.rdmExportaDotz","methods":["GetPrincipal"]})");
    EXPECT_EQ(client.Get("/rpc/Krt52410.rdmOutro")->status, 404);
    EXPECT_EQ(client.Get("/index.html")->status, 404);
    auto post = postRaw(port(), getPrincipalBody("T", "2024-03-15"), {}, "/rpc/Krt99999.rdm");
    EXPECT_EQ(post->status, 404);
    EXPECT_NE(post->body.find("no server object Krt99999.rdm"), std::string::npos);
}

TEST_F(ServerTest, DayOfAllBranchesMatchesTheDatabase)
{
    const std::string day = "2024-03-15";
    Reply reply = callPrincipal(port(), "T", day);
    ASSERT_TRUE(reply.ok());
    ASSERT_EQ(simdjson::dom::array(reply.doc["result"]["data"]).size(), 4u);

    EXPECT_EQ(reply.rows(0), 6u); // 3 branches x 2 tills
    EXPECT_EQ(static_cast<long long>(reply.rows(1)),
              countRows(db(),
                        "SELECT COUNT(*) FROM VENDA WHERE DTVENDA = ? AND "
                        "CDIDCLIENTEDOTZ IS NOT NULL",
                        {day}));
    EXPECT_EQ(reply.rows(1), 90u);
    EXPECT_EQ(static_cast<long long>(reply.rows(2)),
              countRows(db(),
                        "SELECT COUNT(*) FROM ITEMVENDA i JOIN VENDA v USING (DTVENDA, "
                        "CDFILIAL, CDCAIXA, NRCUPOMFIS) WHERE i.DTVENDA = ? AND "
                        "v.CDIDCLIENTEDOTZ IS NOT NULL AND i.NRDOTZEXTRA > 0",
                        {day}));
    EXPECT_GT(reply.rows(2), 30u);
    // National and regional promotion per branch, and from this day on a short one
    // at branches 0001 and 0003.
    EXPECT_EQ(reply.rows(3), 3u * 500 + 2 * 30);
    EXPECT_EQ(callPrincipal(port(), "T", "2024-03-14").rows(3), 3u * 500);

    for (size_t slot = 0; slot < 4; ++slot) {
        SCOPED_TRACE(slot);
        const wire::PacketLayout& layout = wire::kPackets[slot];
        simdjson::dom::array columns = reply.packet(slot)["columns"];
        ASSERT_EQ(columns.size(), layout.columns.size());
        size_t c = 0;
        for (simdjson::dom::element col : columns) {
            const wire::Column& want = layout.columns[c++];
            EXPECT_EQ(std::string_view(col["name"]), want.name);
            EXPECT_EQ(std::string_view(col["type"]), want.text ? "text" : "number");
            if (want.text) {
                EXPECT_EQ(int64_t(col["size"]), want.size);
            }
        }
        // Rows of a branch stand together, in a stable order within it.
        std::vector<std::string> previous;
        for (simdjson::dom::element row : simdjson::dom::array(reply.packet(slot)["rows"])) {
            std::vector<std::string> key;
            size_t i = 0;
            for (simdjson::dom::element v : simdjson::dom::array(row)) {
                const wire::Column& col = layout.columns[i++];
                if (v.is_null())
                    continue;
                if (col.text) {
                    const std::string_view t = v.get_string();
                    EXPECT_LE(t.size(), static_cast<size_t>(col.size) * 2) << col.name;
                    if (key.size() < 3 && slot != 3)
                        key.emplace_back(t);
                } else {
                    EXPECT_TRUE(v.is_number()) << col.name;
                }
            }
            EXPECT_LE(previous, key);
            previous = key;
        }
    }
    for (simdjson::dom::element row : simdjson::dom::array(reply.packet(1)["rows"])) {
        EXPECT_EQ(std::string_view(row.at(5)), day); // DATA
        const std::string_view hora = row.at(6);     // HORA
        ASSERT_EQ(hora.size(), 8u);
        EXPECT_TRUE(hora[2] == ':' && hora[5] == ':') << hora;
    }
}

TEST_F(ServerTest, ListSelectsTheGivenBranchesOnly)
{
    const std::string day = "2024-03-14";
    Reply two = callPrincipal(port(), "'0002','0003'", day);
    ASSERT_TRUE(two.ok());
    for (size_t slot = 0; slot < 4; ++slot)
        for (simdjson::dom::element row : simdjson::dom::array(two.packet(slot)["rows"]))
            EXPECT_NE(std::string_view(row.at(0)), "0001");
    EXPECT_EQ(two.rows(0), 4u);
    EXPECT_EQ(two.rows(1), 60u);

    // 'T' is a branch called T (there is none), never "all branches".
    Reply t = callPrincipal(port(), "'T'", day);
    ASSERT_TRUE(t.ok());
    for (size_t slot = 0; slot < 4; ++slot)
        EXPECT_EQ(t.rows(slot), 0u);
}

TEST_F(ServerTest, BadSelectorsAreRefusedAndChangeNothing)
{
    const std::string before = fingerprint(db());
    for (const std::string selector : {"0001", "'0001", "", "''", "'0001'); DROP TABLE VENDA; --",
                                       "'0001' OR 1=1", "T; DELETE FROM VENDA", "'0001','0002',"}) {
        SCOPED_TRACE(selector);
        Reply reply = callPrincipal(port(), selector, "2024-03-15");
        ASSERT_TRUE(reply.hasResult());
        EXPECT_FALSE(reply.ok());
        EXPECT_NE(reply.message().find(quoteForMessage(selector)), std::string::npos)
            << reply.message();
    }
    EXPECT_EQ(fingerprint(db()), before);
}

TEST_F(ServerTest, BodiesThatAreNotGoodCallsGetTheirJsonRpcError)
{
    struct Case
    {
        std::string body;
        int code;
        std::string idJson;
        std::string says;
    };
    const Case cases[] = {
        {"this is not JSON", -32700, "null", "Parse error"},
        {"", -32700, "null", "Parse error"},
        {R"({"jsonrpc":"2.0","id":1,"method":"GetPrincipal")", -32700, "null", "Parse error"},
        {"[]", -32600, "null", "batch"},
        {"42", -32600, "null", "not a request object"},
        {R"({"jsonrpc":"1.0","id":3,"method":"GetPrincipal","params":[]})", -32600, "3", "2.0"},
        {R"({"jsonrpc":"2.0","id":4,"params":["T","2024-03-15"]})", -32600, "4", "method"},
        {R"({"jsonrpc":"2.0","id":"x","method":"GetNada","params":[]})", -32601, "\"x\"",
         "GetNada"},
        {R"({"jsonrpc":"2.0","id":5,"method":"GetPrincipal","params":{"a":1}})", -32602, "5",
         "array"},
        {R"({"jsonrpc":"2.0","id":6,"method":"GetPrincipal","params":["T"]})", -32602, "6",
         "takes 2 parameters, got 1"},
        {R"({"jsonrpc":"2.0","id":7,"method":"GetPrincipal","params":["T",45366]})", -32602, "7",
         "parameter 2 (day) must be a string, got number"},
        {R"({"jsonrpc":"2.0","id":8,"method":"GetPrincipal","params":["T","2024-02-30"]})", -32602,
         "8", "\"2024-02-30\" is not a date"},
        {R"({"jsonrpc":"2.0","id":9,"method":"GetPrincipal","params":["T","15/03/2024"]})", -32602,
         "9", "YYYY-MM-DD"},
        {R"({"jsonrpc":"2.0","id":10,"method":"GetPrincipal","params":[)" + std::string(5000, '[') +
             std::string(5000, ']') + "]}",
         -32700, "null", "Parse error"},
        {"{\"jsonrpc\":\"2.0\",\"id\":11,\"method\":\"GetPrincipal\",\"params\":[\"T\xff\",\"2024-"
         "03-15\"]}",
         -32700, "null", "UTF-8"},
        {R"({"jsonrpc":"2.0","id":12,"method":"GetPrincipal","id":13,"params":["T","2024-03-15"]})",
         -32600, "null", "\"id\" appears more than once"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        auto res = postRaw(port(), c.body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        Reply reply(res->body);
        EXPECT_EQ(reply.errorCode(), c.code);
        EXPECT_EQ(simdjson::minify(reply.doc["id"]), c.idJson);
        EXPECT_NE(std::string(std::string_view(reply.doc["error"]["message"])).find(c.says),
                  std::string::npos)
            << res->body;
    }
}

TEST_F(ServerTest, ControlCharactersDoNotSplitLogLines)
{
    postRaw(port(),
            R"({"jsonrpc":"2.0","id":1,"method":"Get\nNada 2099-01-01 forged","params":[]})");
    httplib::Client("127.0.0.1", port()).Get("/rpc/x%0Aforged");
    std::string log;
    for (int i = 0; i < 100 && log.find("x?forged") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = server_->log();
    }
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.starts_with("20")) << line;
    EXPECT_NE(log.find("\"Get\\x0ANada 2099-01-01 forged\" rpc error -32601"), std::string::npos)
        << log;
}

TEST_F(ServerTest, NotificationGetsNoReply)
{
    auto res =
        postRaw(port(), R"({"jsonrpc":"2.0","method":"GetPrincipal","params":["T","2024-03-15"]})");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    EXPECT_TRUE(res->body.empty());
}

TEST_F(ServerTest, OversizedBodyIsRefused)
{
    const std::string big =
        getPrincipalBody("'" + std::string(100 * 1024, '1') + "'", "2024-03-15");
    auto res = postRaw(port(), big);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
}

TEST_F(ServerTest, SeveralClientsAtOnceGetTheirOwnReplies)
{
    const std::vector<std::pair<std::string, std::string>> calls = {{"T", "2024-03-14"},
                                                                    {"'0001'", "2024-03-15"},
                                                                    {"'0002','0003'", "2024-03-16"},
                                                                    {"'0003'", "2024-03-14"}};
    std::vector<std::string> expected;
    for (const auto& [selector, day] : calls)
        expected.push_back(postRaw(port(), getPrincipalBody(selector, day))->body);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> clients;
    // As many as one address may have in progress.
    for (int t = 0; t < ServerOptions{}.maxCallsPerAddress; ++t)
        clients.emplace_back([&, t] {
            for (int k = 0; k < 8; ++k) {
                const size_t i = static_cast<size_t>(t + k) % calls.size();
                auto res = postRaw(port(), getPrincipalBody(calls[i].first, calls[i].second));
                if (!res || res->body != expected[i])
                    ++mismatches;
            }
        });
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(mismatches, 0);
}

TEST_F(ServerTest, WritesOneLogLinePerRequest)
{
    callPrincipal(port(), "'0001'", "2024-03-16");
    // The line is written once the reply has gone out.
    std::string log;
    for (int i = 0; i < 100 && log.find("day=2024-03-16") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = server_->log();
    }
    EXPECT_NE(log.find("POST /rpc/Krt52410.rdmExportaDotz 200 GetPrincipal selector=\"'0001'\" "
                       "day=2024-03-16 rows=2/30/"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" ms\n"), std::string::npos);
}

TEST(ServerStop, AStopRightAfterTheStartIsNotLost)
{
    TempDir dir;
    const std::string db = makeDemoDb(dir);
    for (int i = 0; i < 20; ++i)
        RunningServer server(serverOn(db)); // stopped at once by its destructor
}

TEST(ServerToken, EveryRequestNeedsTheBearerToken)
{
    TempDir dir;
    RunningServer server(serverOn(makeDemoDb(dir), "s3cret"));
    httplib::Client client("127.0.0.1", server.port());
    EXPECT_EQ(client.Get(kObjectPath)->status, 401);
    EXPECT_EQ(client.Get(kObjectPath, {{"Authorization", "Bearer wrong"}})->status, 401);
    EXPECT_EQ(client.Get(kObjectPath, {{"Authorization", "Bearer s3cret"}})->status, 200);
    const std::string body = getPrincipalBody("T", "2024-03-15");
    EXPECT_EQ(postRaw(server.port(), body)->status, 401);
    EXPECT_EQ(postRaw(server.port(), body, {{"Authorization", "Bearer s3cre"}})->status, 401);
    EXPECT_EQ(postRaw(server.port(), body, {{"Authorization", "Bearer s3cret"}})->status, 200);
}

TEST(ServerStart, RefusesADatabaseItCannotUse)
{
    TempDir dir;
    try {
        AppServer server(serverOn((dir.path() / "missing.db").string()));
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.db does not exist"), std::string::npos);
    }
    const std::string empty = (dir.path() / "empty.db").string();
    openStore(empty, createFile())->exec("CREATE TABLE x (a)");
    try {
        AppServer server(serverOn(empty));
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("no such table: FILIAL"), std::string::npos);
    }
}

// Values written past the schema's checks: a text that is not UTF-8 is
// refused; a text longer than its column goes out whole, for the client to
// refuse only where it would reach a file.
TEST(ServerRefusal, StoredValuesThatDoNotFitTheirColumn)
{
    struct Case
    {
        std::string update;
        std::string refusal; // empty: the day goes out with the value whole
        std::string value;
    };
    const Case cases[] = {
        {"UPDATE FILIAL SET DSDIRARQDOTZ = 'C:\\' || printf('%.97c', 'x') || '\\' WHERE "
         "CDFILIAL = '0002'",
         "", "\"C:\\\\" + std::string(97, 'x') + "\\\\\""},
        {"UPDATE VENDA SET CDOPERADOR = CAST(X'4A4FC3' AS TEXT) WHERE DTVENDA = '2024-03-15' "
         "AND CDFILIAL = '0001' AND CDCAIXA = '001' AND NRCUPOMFIS = (SELECT MIN(NRCUPOMFIS) "
         "FROM VENDA WHERE DTVENDA = '2024-03-15' AND CDFILIAL = '0001' AND CDCAIXA = '001' "
         "AND CDIDCLIENTEDOTZ IS NOT NULL)",
         "pacote cdsDadosDotz, coluna CDOPERADOR, linha 1 (filial 0001): texto que n\u00e3o \u00e9 "
         "UTF-8",
         ""},
        {"UPDATE PRODUTO SET NMPRODUTO = 'P\u00e3o de Mel Recheado com Doce de Leite Tradicional "
         "500g'",
         "", "\"P\u00e3o de Mel Recheado com Doce de Leite Tradicional 500g\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.update);
        TempDir dir;
        const std::string db = makeDemoDb(dir);
        auto store = openStore(db);
        store->exec("PRAGMA ignore_check_constraints = ON; " + c.update);
        store.reset();
        RunningServer server(serverOn(db));
        Reply reply = callPrincipal(server.port(), "T", "2024-03-15");
        ASSERT_TRUE(reply.hasResult());
        if (c.refusal.empty()) {
            EXPECT_TRUE(reply.ok());
            EXPECT_NE(reply.body.find(c.value), std::string::npos) << c.value;
        } else {
            EXPECT_FALSE(reply.ok());
            EXPECT_NE(reply.message().find(c.refusal), std::string::npos) << reply.message();
        }
    }
}

// The items packet keeps exactly the items that the join to their sale (with a
// DOTZ customer) and their product keeps, with those values, in the same order:
// also when sales and products are missing, which the foreign keys forbid.
TEST(ServerItems, AreThoseOfTheJoinToSaleAndProduct)
{
    TempDir dir;
    const std::string db = makeDemoDb(dir);
    const std::string day = "2024-03-15";
    auto store = openStore(db);
    store->exec("PRAGMA foreign_keys = OFF;"
                "DELETE FROM VENDA WHERE (CDFILIAL, CDCAIXA, NRCUPOMFIS) IN (SELECT CDFILIAL, "
                "CDCAIXA, NRCUPOMFIS FROM VENDA WHERE DTVENDA = '" +
                day +
                "' AND "
                "CDIDCLIENTEDOTZ IS NOT NULL AND CDFILIAL = '0002' LIMIT 3) AND DTVENDA = '" +
                day +
                "';"
                "UPDATE VENDA SET CDIDCLIENTEDOTZ = NULL WHERE (CDFILIAL, CDCAIXA, NRCUPOMFIS) "
                "IN (SELECT CDFILIAL, CDCAIXA, NRCUPOMFIS FROM VENDA WHERE DTVENDA = '" +
                day +
                "' AND CDIDCLIENTEDOTZ IS NOT NULL AND CDFILIAL = '0003' LIMIT 2) AND DTVENDA = '" +
                day +
                "';"
                "DELETE FROM PRODUTO WHERE CDPRODUTO = (SELECT MIN(CDPRODUTO) FROM ITEMVENDA "
                "WHERE DTVENDA = '" +
                day +
                "' AND NRDOTZEXTRA > 0);"
                "UPDATE PRODUTO SET CDBARPRODUTO = NULL WHERE CDPRODUTO = (SELECT MAX(CDPRODUTO) "
                "FROM ITEMVENDA WHERE DTVENDA = '" +
                day + "' AND NRDOTZEXTRA > 0);");
    RunningServer server(serverOn(db));
    for (const auto& [selector, filter] : {std::pair<std::string, std::string>{"T", ""},
                                           {"'0002','0003'", " AND i.CDFILIAL > '0001'"}}) {
        SCOPED_TRACE(selector);
        std::vector<std::string> expected;
        store->query("SELECT i.CDFILIAL || '|' || i.CDCAIXA || '|' || i.NRCUPOMFIS || '|' || "
                     "v.CDIDCLIENTEDOTZ || '|' || i.CDPRODUTO || '|' || "
                     "COALESCE(p.CDBARPRODUTO, 'null') FROM ITEMVENDA i JOIN VENDA v USING "
                     "(DTVENDA, CDFILIAL, CDCAIXA, NRCUPOMFIS) JOIN PRODUTO p USING (CDPRODUTO) "
                     "WHERE i.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND i.NRDOTZEXTRA > 0" +
                         filter + " ORDER BY i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, i.NRSEQITEM",
                     {day}, [&](const Row& r) { expected.emplace_back(r.text(0)); });
        Reply reply = callPrincipal(server.port(), selector, day);
        ASSERT_TRUE(reply.ok());
        std::vector<std::string> got;
        for (simdjson::dom::element row : simdjson::dom::array(reply.packet(2)["rows"])) {
            std::string line;
            for (size_t c : {0, 1, 2, 3, 4, 8}) {
                const simdjson::dom::element v = row.at(c);
                line += (c ? "|" : "") + std::string(v.is_null() ? "null" : std::string_view(v));
            }
            got.push_back(line);
        }
        EXPECT_GT(expected.size(), 30u);
        EXPECT_EQ(got, expected);
    }
}

// Once part of a large reply has gone out, a failure can only break the connection:
// the client must never take a cut reply for a whole one.
TEST(ServerRefusal, FailureAfterTheReplyBeganBreaksTheConnection)
{
    TempDir dir;
    DemoOptions big = smallDemo();
    big.days = 1;
    big.salesPerDay = 4000;
    const std::string db = makeDemoDb(dir, big);
    openStore(db)->exec("PRAGMA ignore_check_constraints = ON; UPDATE FILIAL SET "
                        "CDINTEGRADOTZ = CAST(X'4A4FC3' AS TEXT) WHERE CDFILIAL = '0003'");
    {
        // Within the part held back, the failure still replaces the whole reply.
        RunningServer server(serverOn(db));
        Reply reply = callPrincipal(server.port(), "T", "2024-03-14");
        EXPECT_FALSE(reply.ok());
        EXPECT_NE(reply.message().find("coluna CDINTEGRADOTZ"), std::string::npos);
    }
    ServerOptions options = serverOn(db);
    options.holdBack = 64 * 1024;
    RunningServer server(options);
    auto res = postRaw(server.port(), getPrincipalBody("T", "2024-03-14"));
    EXPECT_FALSE(res && res->status == 200 && res->body.ends_with("]}]}}"));
    std::string log;
    for (int i = 0; i < 100 && log.find("broken off after") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = server.log();
    }
    EXPECT_NE(log.find("broken off after"), std::string::npos) << log;
}

TEST(PacketColumns, AreTheColumnsOfTheModulesTables)
{
    const Table tables[] = {makeCdsCaixa(), makeCdsDadosDotz(), makeCdsDotzExtra(),
                            makeCdsConfigDotz()};
    for (size_t slot = 0; slot < 4; ++slot) {
        const wire::PacketLayout& layout = wire::kPackets[slot];
        const Table& table = tables[slot];
        EXPECT_EQ(table.name(), layout.table);
        ASSERT_EQ(table.columns().size(), layout.columns.size()) << layout.table;
        for (size_t c = 0; c < layout.columns.size(); ++c) {
            const ColumnDef& def = table.columns()[c];
            EXPECT_EQ(def.name, layout.columns[c].name);
            EXPECT_EQ(def.type == ColumnType::Text, layout.columns[c].text) << def.name;
            if (layout.columns[c].text) {
                EXPECT_EQ(def.size, layout.columns[c].size) << def.name;
            }
        }
    }
}

// The program itself: serves, and stops cleanly on SIGTERM.
TEST(ServerProgram, StopsCleanlyOnSigterm)
{
    TempDir dir;
    const std::string db = makeDemoDb(dir);
    const int port = freePort();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string p = std::to_string(port);
        execl(KRT_APPSERVER_PATH, KRT_APPSERVER_PATH, "serve", "--db", db.c_str(), "--port",
              p.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(std::chrono::milliseconds(200));
        client.set_read_timeout(std::chrono::milliseconds(500));
        auto res = client.Get(kObjectPath);
        answered = res && res->status == 200;
        if (!answered)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(answered);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Listening beyond this machine, the program says what that leaves open, before
// anything else (here a database that is not there ends it).
TEST(ServerProgram, WarnsOfWhatListeningBeyondTheMachineLeavesOpen)
{
    TempDir dir;
    const struct
    {
        std::vector<std::string> args;
        bool noToken, clearText;
    } cases[] = {
        {{"--listen", "127.0.0.1"}, false, false},
        {{"--listen", "127.0.0.1", "--token", "t"}, false, false},
        {{"--listen", "0.0.0.0"}, true, false},
        {{"--listen", "0.0.0.0", "--token", "t"}, false, true},
    };
    // A demo made is a success, for the scripts that stop at a failure.
    const dotz::testing::Ended made = dotz::testing::runToEnd(
        {KRT_APPSERVER_PATH, "init-demo", "--db", (dir.path() / "demo.db").string(), "--branches",
         "1", "--days", "1", "--sales-per-day", "10"},
        dir.path());
    EXPECT_EQ(made.code, 0) << made.err;
    for (const auto& c : cases) {
        std::vector<std::string> argv = {
            KRT_APPSERVER_PATH,         "serve", "--port",
            std::to_string(freePort()), "--db",  (dir.path() / "none.db").string()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const dotz::testing::Ended e = dotz::testing::runToEnd(argv, dir.path());
        EXPECT_NE(e.code, 0) << e.err;
        EXPECT_EQ(e.err.find("without a token") != std::string::npos, c.noToken) << e.err;
        EXPECT_EQ(e.err.find("without TLS") != std::string::npos, c.clearText) << e.err;
    }
}

} // namespace
