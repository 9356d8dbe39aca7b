// GET /metrics: the figures of the calls, and who may read them.
#include "appserver/network/peer_address.h"
#include "appserver/operations/metrics.h"
#include "server_fixture.h"

#include "tests/support/promtool.h"

#include <gtest/gtest.h>

#include <ifaddrs.h>
#include <netdb.h>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

// The value of one sample line ("name{labels}"), or -1 when it is not there.
double sample(const std::string& text, const std::string& series)
{
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + series.size() + 2));
}

// An address of this machine that is not loopback, to be a peer from "elsewhere".
std::string otherAddress()
{
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return {};
    std::string found;
    for (ifaddrs* i = all; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        char host[NI_MAXHOST];
        if (getnameinfo(i->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            !isLoopback(host))
            found = host;
    }
    freeifaddrs(all);
    return found;
}

TEST(ServerMetrics, CountCallsByMethodAndOutcome)
{
    TempDir dir;
    RunningServer server(serverOn(makeDemoDb(dir)));
    EXPECT_EQ(postRaw(server.port(), getPrincipalBody("'0001'", "2024-03-16"))->status, 200);
    EXPECT_EQ(postRaw(server.port(), getPrincipalBody("'0001'", "2024-03-16"))->status, 200);
    EXPECT_EQ(postRaw(server.port(), getPrincipalBody("0001", "2024-03-16"))->status, 200);
    EXPECT_EQ(postRaw(server.port(), R"({"jsonrpc":"2.0","id":1,"method":"Outro"})")->status, 200);

    httplib::Client client("127.0.0.1", server.port());
    // The calls' connections close as the server reads their end, which may
    // come after the scrape's.
    auto res = client.Get("/metrics");
    for (int i = 0; i < 100 && res && sample(res->body, "krt_appserver_connections_open") > 1;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        res = client.Get("/metrics");
    }
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), ServerMetrics::kContentType);
    const std::string text = res->body;
    EXPECT_EQ(sample(text, R"(krt_appserver_calls_total{method="GetPrincipal",outcome="ok"})"), 2)
        << text;
    EXPECT_EQ(sample(text, R"(krt_appserver_calls_total{method="GetPrincipal",outcome="refused"})"),
              1);
    EXPECT_EQ(sample(text, R"(krt_appserver_calls_total{method="unknown",outcome="rpc_error"})"),
              1);
    EXPECT_EQ(sample(text, R"(krt_appserver_call_duration_seconds_count{method="GetPrincipal"})"),
              3);
    EXPECT_EQ(sample(text, "krt_appserver_calls_in_progress"), 0);
    // This scrape's, and those of the calls until the server has seen them close.
    EXPECT_GE(sample(text, "krt_appserver_connections_open"), 1);
    EXPECT_EQ(sample(text, "krt_appserver_database_errors_total"), 0);
    EXPECT_GT(sample(text, "krt_appserver_sent_bytes_total"), 1000);
    if (const auto verdict = promtoolCheckMetrics(text)) {
        EXPECT_TRUE(verdict->passed) << verdict->output << text;
    }
}

TEST(ServerMetrics, FromAnotherMachineNeedTheMetricsOrTheServerToken)
{
    const std::string address = otherAddress();
    if (address.empty())
        GTEST_SKIP() << "no address but loopback";
    TempDir dir;
    ServerOptions options = serverOn(makeDemoDb(dir), "s3cret");
    options.listen = "0.0.0.0";
    options.metricsToken = "figures";
    RunningServer server(options);
    struct Case
    {
        const char* host;
        const char* token;
        int status;
    } cases[] = {
        {"127.0.0.1", "", 200},           {address.c_str(), "", 401},
        {address.c_str(), "wrong", 401},  {address.c_str(), "figures", 200},
        {address.c_str(), "s3cret", 200},
    };
    for (const Case& c : cases) {
        httplib::Client client(c.host, server.port());
        httplib::Headers headers;
        if (*c.token)
            headers.emplace("Authorization", std::string("Bearer ") + c.token);
        const auto res = client.Get("/metrics", headers);
        ASSERT_TRUE(res) << c.host;
        EXPECT_EQ(res->status, c.status) << c.host << " " << c.token;
        if (c.status == 401) {
            EXPECT_NE(res->body.find("outro computador"), std::string::npos) << res->body;
        }
    }
    // The metrics token opens nothing else.
    httplib::Client client(address, server.port());
    EXPECT_EQ(
        client.Get("/rpc/Krt52410.rdmExportaDotz", {{"Authorization", "Bearer figures"}})->status,
        401);
}

TEST(ServerMetrics, LoopbackPeers)
{
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},        {"127.8.9.10", true}, {"::1", true},
        {"::ffff:127.0.0.1", true}, {"10.0.0.1", false},  {"::ffff:10.0.0.1", false},
        {"fe80::1", false},         {"", false},          {"localhost", false},
    };
    for (const auto& [address, loopback] : cases)
        EXPECT_EQ(isLoopback(address), loopback) << address;
}

} // namespace
