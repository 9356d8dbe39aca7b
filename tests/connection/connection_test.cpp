#include "connection/principal_reply.h"
#include "connection/server_connection.h"
#include "server_fixture.h"

#include "tests/support/export_tables.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

using namespace dotz;
using namespace dotz::testing;

namespace {

constexpr const char* kObject = "Krt52410.rdmExportaDotz";

std::string failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ConnectionError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no failure";
}

class ConnectionTest : public DemoServerTest
{
  protected:
    void SetUp() override
    {
        connection.setServerName(kObject);
        connection.setBeforeConnect([this](ServerConnection& c) {
            ++openings;
            c.SetHost("127.0.0.1");
            c.setPort(server_->port());
        });
    }

    Variant principal(const std::string& selector, int day)
    {
        return connection.call("GetPrincipal", {selector, *Day::fromYmd(2024, 3, day)});
    }

    ServerConnection connection;
    int openings = 0;
};

TEST_F(ConnectionTest, EveryOpeningRunsBeforeConnectFirst)
{
    EXPECT_FALSE(connection.connected());
    connection.setConnected(true);
    EXPECT_TRUE(connection.connected());
    EXPECT_EQ(openings, 1);
    EXPECT_EQ(connection.methods(), std::vector<std::string>{"GetPrincipal"});
    connection.setConnected(true); // already open: no new opening
    EXPECT_EQ(openings, 1);
    connection.setConnected(false);
    EXPECT_FALSE(connection.connected());
    connection.setConnected(true);
    EXPECT_EQ(openings, 2);
    connection.setConnected(false);
    principal("T", 15); // a call on a closed connection opens it
    EXPECT_TRUE(connection.connected());
    EXPECT_EQ(openings, 3);
}

TEST_F(ConnectionTest, ADayLoadsIntoTheExportTables)
{
    const Variant data = CheckServerResult(principal("T", 15), true, 0, nullptr);
    const Variant::Array& slots = data.asArray();
    ASSERT_EQ(slots.size(), 4u);
    // The packets are slices of the one reply buffer, in slot order, undecoded.
    const char* previous = nullptr;
    for (const Variant& slot : slots) {
        const Packet& p = slot.asPacket();
        EXPECT_TRUE(p.json().starts_with("{\"columns\":"));
        EXPECT_TRUE(p.json().ends_with("]}"));
        EXPECT_GE(p.readable(), p.json().size() + Packet::kPadding);
        EXPECT_LT(previous, p.json().data());
        previous = p.json().data();
    }
    ExportTables t;
    t.cdsCaixa.loadPacket(slots[0].asPacket());
    t.cdsDadosDotz.loadPacket(slots[1].asPacket());
    t.cdsDotzExtra.loadPacket(slots[2].asPacket());
    t.cdsConfigDotz.loadPacket(slots[3].asPacket());
    EXPECT_EQ(t.cdsCaixa.rowCount(), 6u);
    EXPECT_EQ(t.cdsDadosDotz.rowCount(), 90u);
    EXPECT_GT(t.cdsDotzExtra.rowCount(), 30u);
    EXPECT_EQ(t.cdsConfigDotz.rowCount(), 1560u);
    EXPECT_EQ(t.cdsDadosDotz.textAt(0, dados::DATA), "2024-03-15");
    EXPECT_EQ(t.cdsDadosDotz.textAt(0, dados::DSDIRARQDOTZ), "C:\\DOTZ\\LOJA0001\\");
    // Accented names arrive as Windows-1252.
    bool accented = false;
    for (size_t r = 0; r < t.cdsConfigDotz.rowCount(); ++r)
        for (char c : t.cdsConfigDotz.textAt(r, config::NMPRODUTO))
            accented |= static_cast<unsigned char>(c) >= 0xC0;
    EXPECT_TRUE(accented);
}

TEST_F(ConnectionTest, AFailureTheServerReportsIsShownThenAborts)
{
    std::vector<std::string> shown;
    auto show = [&](const std::string& text) { shown.push_back(text); };
    const Variant reply = principal("0001; DROP TABLE VENDA", 15);
    EXPECT_THROW(CheckServerResult(reply, true, 0, show), Abort);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("0001; DROP TABLE VENDA"), std::string::npos);

    EXPECT_TRUE(CheckServerResult(reply, false, 0, show).isNull());
    EXPECT_EQ(shown.size(), 2u);
    // Nobody to show it to: the text travels in the error instead.
    EXPECT_THROW(CheckServerResult(reply, true, 0, nullptr), ServerRefusal);
}

TEST_F(ConnectionTest, FailuresSayWhatFailed)
{
    const int refused = freePort();
    struct Case
    {
        std::function<void(ServerConnection&)> setUp;
        std::function<void(ServerConnection&)> act;
        std::vector<std::string> says;
        std::string detail = {}; // the server's own words, there only
    };
    const std::vector<Case> cases = {
        {[&](ServerConnection& c) {
             c.setBeforeConnect([&](ServerConnection& s) { s.setPort(refused); });
         },
         [](ServerConnection& c) { c.open(); },
         {"Falha na conexão com o servidor de aplicação 127.0.0.1:" + std::to_string(refused) +
              " (objeto Krt52410.rdmExportaDotz)",
          "conexão recusada"}},
        {[](ServerConnection& c) { c.setServerName("Krt99999.rdmOutro"); },
         [](ServerConnection& c) { c.open(); },
         {"(objeto Krt99999.rdmOutro)", "não tem o objeto Krt99999.rdmOutro (HTTP 404)"}},
        {[](ServerConnection&) {},
         [](ServerConnection& c) { c.call("GetNada", {}); },
         {"Falha na chamada de GetNada ao servidor de aplicação 127.0.0.1:",
          "): o servidor não reconhece o método GetNada."},
         "erro JSON-RPC -32601: Method not found"},
        {[](ServerConnection&) {},
         [](ServerConnection& c) {
             c.call("GetPrincipal", {"T", "ontem"});
         },
         {"): o servidor recusou os parâmetros da chamada."},
         "erro JSON-RPC -32602: Invalid params: parameter 2 (day) \"ontem\""},
        {[](ServerConnection&) {},
         [](ServerConnection& c) {
             c.call("GetPrincipal", {"T", std::nan("")});
         },
         {"o parâmetro 2 não é um número finito"}},
        {[](ServerConnection&) {},
         [](ServerConnection& c) {
             c.call("GetPrincipal", {"\xff", "2024-03-15"});
         },
         {"o parâmetro 1 não é texto UTF-8 válido"}},
        {[](ServerConnection& c) {
             c.setBeforeConnect([](ServerConnection& s) { s.SetHost(""); });
         },
         [](ServerConnection& c) { c.open(); },
         {"nenhum servidor foi indicado"}},
    };
    for (const Case& c : cases) {
        ServerConnection conn;
        conn.setServerName(kObject);
        conn.setBeforeConnect([](ServerConnection& s) {
            s.SetHost("127.0.0.1");
            s.setPort(server_->port());
        });
        c.setUp(conn);
        std::string message = "no failure", detail;
        try {
            c.act(conn);
        } catch (const ConnectionError& e) {
            message = e.what();
            detail = e.detail();
        }
        for (const std::string& part : c.says)
            EXPECT_NE(message.find(part), std::string::npos) << message;
        if (!c.detail.empty()) {
            EXPECT_TRUE(detail.starts_with(c.detail)) << detail;
            EXPECT_EQ(message.find(c.detail.substr(c.detail.find(':'))), std::string::npos)
                << message;
        }
    }
}

TEST_F(ConnectionTest, AFailedOpeningIsThrownAndLeavesItClosed)
{
    const int refused = freePort();
    connection.setBeforeConnect([&](ServerConnection& c) { c.setPort(refused); });
    EXPECT_NE(failureOf([&] { connection.open(); }).find(":" + std::to_string(refused)),
              std::string::npos);
    EXPECT_FALSE(connection.connected());
}

TEST_F(ConnectionTest, BeforeConnectFailurePassesOnUnchanged)
{
    connection.setBeforeConnect([](ServerConnection&) { throw std::runtime_error("no settings"); });
    EXPECT_THROW(connection.open(), std::runtime_error);
    EXPECT_FALSE(connection.connected());
    EXPECT_THROW(connection.setPort(0), Error);
    EXPECT_THROW(connection.setPort(65536), Error);
}

TEST(ConnectionToken, IsSentWhenSet)
{
    TempDir dir;
    RunningServer server(serverOn(makeDemoDb(dir), "s3cret"));
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(server.port());
    EXPECT_NE(failureOf([&] { c.open(); }).find("token de acesso válido (HTTP 401)"),
              std::string::npos);
    c.setToken("s3cret");
    c.open();
    EXPECT_EQ(CheckServerResult(c.call("GetPrincipal", {"'0002'", "2024-03-14"}), true, 0, nullptr)
                  .asArray()
                  .size(),
              4u);
}

TEST(ConnectionBroken, ACutReplyIsNeverTakenForAWholeOne)
{
    TempDir dir;
    appserver::DemoOptions big = smallDemo();
    big.days = 1;
    big.salesPerDay = 4000;
    const std::string db = makeDemoDb(dir, big);
    appserver::openStore(db)->exec(
        "PRAGMA ignore_check_constraints = ON; UPDATE FILIAL SET "
        "CDINTEGRADOTZ = CAST(X'4A4FC3' AS TEXT) WHERE CDFILIAL = '0003'");
    appserver::ServerOptions options = serverOn(db);
    options.holdBack = 64 * 1024;
    RunningServer server(options);
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(server.port());
    const std::string message = failureOf([&] { c.call("GetPrincipal", {"T", "2024-03-14"}); });
    EXPECT_NE(message.find("Falha na chamada de GetPrincipal ao servidor de aplicação"),
              std::string::npos)
        << message;
    EXPECT_FALSE(c.connected());
}

// A server that answers whatever the test wants, for replies ours never sends;
// over TLS when given an httplib::SSLServer.
class FakeServer
{
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    explicit FakeServer(Handler post, int getDelayMs = 0,
                        std::unique_ptr<httplib::Server> http = std::make_unique<httplib::Server>())
        : http_(std::move(http))
    {
        http_->Get(".*", [getDelayMs](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(std::chrono::milliseconds(getDelayMs));
            res.set_content(R"({"object":"Krt52410.rdmExportaDotz","methods":["GetPrincipal"]})",
                            "application/json");
        });
        http_->Post(".*", std::move(post));
        http_->set_keep_alive_max_count(1000);
        http_->set_tcp_nodelay(true);
        port_ = http_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { http_->listen_after_bind(); });
    }
    ~FakeServer()
    {
        http_->stop();
        thread_.join();
    }
    int port() const { return port_; }

  private:
    std::unique_ptr<httplib::Server> http_;
    int port_ = 0;
    std::thread thread_;
};

// Echoes the request's params as the result, so that the encoding can be checked.
void echoParams(const httplib::Request& req, httplib::Response& res)
{
    simdjson::dom::parser parser;
    simdjson::dom::element doc = parser.parse(req.body);
    res.set_content("{\"jsonrpc\":\"2.0\",\"id\":" + simdjson::minify(doc["id"]) +
                        ",\"result\":" + simdjson::minify(doc["params"]) + "}",
                    "application/json");
}

TEST(ConnectionValues, TravelAsTheirJsonKinds)
{
    FakeServer fake(echoParams);
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(fake.port());
    const Variant result =
        c.call("Echo", {"T", *Day::fromYmd(2024, 3, 15), 2.5, nullptr, true,
                        Variant::Array{1, "Sé"}, Packet::fromJson(R"({"a":[1,2]})")});
    const Variant::Array& v = result.asArray();
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(v[0].asText(), "T");
    EXPECT_EQ(v[1].asText(), "2024-03-15");
    EXPECT_EQ(v[2].asNumber(), 2.5);
    EXPECT_TRUE(v[3].isNull());
    EXPECT_TRUE(v[4].asBoolean());
    EXPECT_EQ(v[5].asArray()[1].asText(), "Sé");
    EXPECT_EQ(v[6].asPacket().json(), R"({"a":[1,2]})");
    try {
        v[0].asNumber();
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "esperava-se um número, e veio um texto");
    }
}

// The result object is read once, in the call: its text, and its members for the
// envelope check, nested arrays and odd spacing included.
TEST(ConnectionValues, ResultObjectIsReadOnceWithItsExactText)
{
    const std::string envelope = "{ \"data\" : [ {\"a\":[1,{\"b\":\"]}\"}]} , [ [ ], 2 , [\"x\"] ] "
                                 ",null ] ,\n \"ok\":true }";
    FakeServer fake([&](const httplib::Request& req, httplib::Response& res) {
        simdjson::dom::parser parser;
        simdjson::dom::element doc = parser.parse(req.body);
        res.set_content("{\"jsonrpc\":\"2.0\",\"result\":" + envelope +
                            " ,\"id\":" + simdjson::minify(doc["id"]) + "}",
                        "application/json");
    });
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(fake.port());
    const Variant result = c.call("GetPrincipal", {"T", "2024-03-15"});
    EXPECT_EQ(result.asPacket().json(), envelope);
    const Variant data = CheckServerResult(result, true, 0, nullptr);
    const Variant::Array& items = data.asArray();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].asPacket().json(), "{\"a\":[1,{\"b\":\"]}\"}]}");
    EXPECT_TRUE(items[1].asArray()[0].asArray().empty());
    EXPECT_EQ(items[1].asArray()[2].asArray()[0].asText(), "x");
    EXPECT_TRUE(items[2].isNull());
}

TEST(ConnectionReplies, ThatAreNotJsonRpcAreRefused)
{
    const std::pair<std::function<void(httplib::Response&)>, std::string> cases[] = {
        {[](httplib::Response& r) { r.set_content("hello", "text/plain"); }, "não é JSON-RPC 2.0"},
        {[](httplib::Response& r) {
             r.set_content(R"({"jsonrpc":"2.0","id":999,"result":1})", "application/json");
         },
         "outro id"},
        {[](httplib::Response& r) {
             r.set_content(R"({"jsonrpc":"2.0","id":1})", "application/json");
         },
         "sem result"},
        {[](httplib::Response& r) { r.status = 500; }, "HTTP 500"},
        // Hostile ones: each ends the call with an error, never a crash.
        {[](httplib::Response& r) {
             r.set_content(R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":)" +
                               std::string(50000, '[') + std::string(50000, ']') + "}}",
                           "application/json");
         },
         "aninha mais de 16 níveis"},
        {[](httplib::Response& r) {
             r.set_content(R"({"jsonrpc":"2.0","id":1,"result":1,"result":2})", "application/json");
         },
         "\"result\" duas vezes"},
        {[](httplib::Response& r) {
             r.set_content(R"({"jsonrpc":"2.0","id":1,"result":[nul]})", "application/json");
         },
         "não é JSON-RPC 2.0"},
        {[](httplib::Response& r) {
             r.set_content(R"({"jsonrpc":"2.0","id":1,"result":1} {})", "application/json");
         },
         "não é JSON-RPC 2.0 (JSON mal formado)"},
        {[](httplib::Response& r) {
             r.set_content("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":\"\xff\"}",
                           "application/json");
         },
         "não é JSON-RPC 2.0 (texto que não é UTF-8 válido)"},
    };
    for (const auto& [answer, says] : cases) {
        // Named in the capture: clang 14 cannot capture a structured binding.
        FakeServer fake(
            [&answer = answer](const httplib::Request&, httplib::Response& res) { answer(res); });
        ServerConnection c;
        c.setServerName(kObject);
        c.setPort(fake.port());
        const std::string message = failureOf([&] { c.call("GetPrincipal", {"T", "2024-03-15"}); });
        EXPECT_NE(message.find(says), std::string::npos) << message;
    }
}

TEST(ConnectionReplies, TheCallTimeoutEndsTheWait)
{
    FakeServer slow(echoParams, 800);
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(slow.port());
    ServerConnection::CallLimits limits;
    limits.callTimeout = std::chrono::milliseconds(300);
    c.setCallLimits(limits);
    const std::string message = failureOf([&] { c.open(); });
    EXPECT_NE(message.find("a chamada passou do tempo máximo de 0,3 s"), std::string::npos)
        << message;
}

// Calls share one kept-alive connection (counted by the client's port as the
// server sees it); with TCP_NODELAY none waits for a delayed acknowledgement.
TEST(ConnectionReuse, ManyCallsShareOneConnection)
{
    std::mutex mutex;
    std::set<int> clientPorts;
    int calls = 0;
    FakeServer fake([&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(mutex);
            clientPorts.insert(req.remote_port);
            ++calls;
        }
        echoParams(req, res);
    });
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(fake.port());
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(c.call("Echo", {i}).asArray()[0].asNumber(), i);
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 50);
    EXPECT_EQ(clientPorts.size(), 1u);
}

// A CA and a certificate for `san` that it signed, made with the openssl command.
struct Certificate
{
    std::string ca, cert, key;
};
Certificate makeCertificate(const TempDir& dir, const std::string& name, const std::string& san)
{
    const std::string d = (dir.path() / name).string();
    std::ofstream(d + ".ext") << "subjectAltName=" << san << "\n";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string script =
        "(openssl req -x509 -days 2 -subj /CN=" + name + "-ca" + key + " -keyout " + d +
        "-ca.key -out " + d + "-ca.pem && openssl req -subj /CN=" + name + key + " -keyout " + d +
        ".key -out " + d + ".csr && openssl x509 -req -days 2 -in " + d + ".csr -CA " + d +
        "-ca.pem -CAkey " + d + "-ca.key -CAcreateserial -extfile " + d + ".ext -out " + d +
        ".pem) >/dev/null 2>&1";
    if (std::system(script.c_str()) != 0)
        throw std::runtime_error("openssl cannot make a certificate for " + name);
    return {d + "-ca.pem", d + ".pem", d + ".key"};
}

TEST(ConnectionTls, TheServerIsVerifiedHostNameIncluded)
{
    TempDir dir;
    const Certificate good = makeCertificate(dir, "good", "IP:127.0.0.1");
    const Certificate other = makeCertificate(dir, "other", "IP:127.0.0.1");
    const Certificate named = makeCertificate(dir, "named", "DNS:elsewhere");
    const Certificate own{good.ca, good.ca, good.ca.substr(0, good.ca.size() - 4) + ".key"};
    const auto tlsOn = [](const Certificate& c) {
        return std::make_unique<httplib::SSLServer>(c.cert.c_str(), c.key.c_str());
    };
    FakeServer tls(echoParams, 0, tlsOn(good));
    FakeServer elsewhere(echoParams, 0, tlsOn(named));
    FakeServer selfSigned(echoParams, 0, tlsOn(own));
    FakeServer plain(echoParams);
    const std::string refused = "o certificado do servidor não foi aceito: ";
    const struct
    {
        int port;
        std::string ca;
        std::string says;
    } cases[] = {
        {tls.port(), good.ca, ""},
        {tls.port(), other.ca, refused + "foi assinado por uma autoridade que não está entre"},
        {tls.port(), "", refused + "foi assinado por uma autoridade"}, // not in the system's store
        {selfSigned.port(), other.ca, refused + "é autoassinado, e não de uma autoridade"},
        {elsewhere.port(), named.ca, "o certificado do servidor não é do nome 127.0.0.1"},
        {plain.port(), good.ca, "a negociação TLS falhou"},
        {tls.port(), (dir.path() / "missing.pem").string(), "missing.pem não pôde ser lido"},
    };
    for (const auto& [port, ca, says] : cases) {
        ServerConnection c;
        c.setServerName(kObject);
        c.setPort(port);
        c.setTls(true, ca);
        const std::string message = failureOf([&c] { c.call("Echo", {"sigilo"}); });
        if (says.empty()) {
            EXPECT_EQ(message, "no failure");
            continue;
        }
        EXPECT_NE(message.find("servidor de aplicação 127.0.0.1:" + std::to_string(port)),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find(says), std::string::npos) << message;
        // The library's own words stay out of what the operator reads.
        EXPECT_EQ(message.find("certificate"), std::string::npos) << message;
    }
}

TEST(ConnectionTls, ADayFromTheApplicationServerOverHttps)
{
    TempDir dir;
    const Certificate server = makeCertificate(dir, "server", "IP:127.0.0.1");
    const Certificate stranger = makeCertificate(dir, "stranger", "IP:127.0.0.1");
    appserver::ServerOptions options = serverOn(makeDemoDb(dir), "s3cret");
    options.tlsCert = server.cert;
    options.tlsKey = server.key;
    RunningServer running(options);
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(running.port());
    c.setToken("s3cret");
    c.setTls(true, stranger.ca);
    EXPECT_NE(failureOf([&c] { c.open(); }).find("o certificado do servidor não foi aceito"),
              std::string::npos);
    c.setTls(true, server.ca);
    const Day day = *Day::fromYmd(2024, 3, 14);
    // The one fetch both front ends use: each packet handed over as it arrives.
    DayPackets early;
    fetchPrincipal(c, "T", day, [&](size_t slot, Packet p) { early.at(slot) = std::move(p); });
    ExportTables t;
    t.cdsDadosDotz.loadPacket(early[1]);
    EXPECT_GT(t.cdsDadosDotz.rowCount(), 0u);
}

TEST(ConnectionEnvelope, ResultsThatAreNoEnvelopeAreErrors)
{
    const std::pair<Variant, std::string> cases[] = {
        {Variant("texto"), "não é um envelope de resultado"},
        {Variant(Packet::fromJson("{}")), "não traz \"ok\""},
        {Variant(Packet::fromJson(R"({"ok":true})")), "não traz \"data\""},
        {Variant(Packet::fromJson(R"({"ok":"yes"})")), "\"ok\" é um texto, e não um valor lógico"},
        {Variant(Packet::fromJson(R"({"ok":false,"ok":true})")), "\"ok\" duas vezes"},
        {Variant(Packet::fromJson(R"({"ok":true,"data":[]} {})")),
         "não pode ser lido (JSON mal formado)"},
    };
    for (const auto& [result, says] : cases) {
        try {
            CheckServerResult(result, true, 0, nullptr);
            ADD_FAILURE() << says;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    }
    // A packet made elsewhere is read through a copy.
    const Variant ok =
        CheckServerResult(Packet::fromJson(R"({"ok":true,"data":[{"columns":[],"rows":[]},null]})"),
                          true, 0, nullptr);
    EXPECT_EQ(ok.asArray()[0].asPacket().json(), R"({"columns":[],"rows":[]})");
    EXPECT_TRUE(ok.asArray()[1].isNull());
}

} // namespace
