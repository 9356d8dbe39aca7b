// The server's transport against hostile, slow and many peers, over TLS, and
// its health endpoint.
#include "server_fixture.h"

#include "appserver/stores/store.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

constexpr const char* kObjectPath = "/rpc/Krt52410.rdmExportaDotz";

// A raw loopback connection, for requests that no HTTP client would send.
class RawConnection
{
  public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval wait{20, 0}; // a server that never answers fails the test, not hangs it
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot connect");
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False once the server has closed the connection.
    bool send(std::string_view bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Everything until the server closes the connection.
    std::string readToEnd()
    {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    bool closedByServer()
    {
        char c;
        const ssize_t n = recv(fd_, &c, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

  private:
    int fd_;
};

int statusOf(const std::string& response)
{
    return response.starts_with("HTTP/1.1 ") ? std::atoi(response.c_str() + 9) : -1;
}

std::string chunked(size_t total)
{
    const std::string piece(16 * 1024, 'x');
    std::string body;
    for (size_t sent = 0; sent < total; sent += piece.size())
        body += "4000\r\n" + piece + "\r\n";
    return body + "0\r\n\r\n";
}

bool answersNormally(int port)
{
    httplib::Client client("127.0.0.1", port);
    auto res = client.Get(kObjectPath);
    return res && res->status == 200;
}

class HostileHttpTest : public DemoServerTest
{
};

TEST_F(HostileHttpTest, RequestsThatCannotBeReadAreRefusedAndTheServerGoesOn)
{
    const std::string post = std::string("POST ") + kObjectPath + " HTTP/1.1\r\nHost: x\r\n";
    const std::string call = getPrincipalBody("T", "2024-03-15");
    struct Case
    {
        std::string name;
        std::string bytes;
        int status;
    };
    const Case cases[] = {
        {"chunked body past --max-body",
         post + "Transfer-Encoding: chunked\r\n\r\n" + chunked(200 * 1024), 413},
        {"declared body past --max-body",
         post + "Content-Length: 100000\r\n\r\n" + std::string(100000, 'x'), 413},
        {"negative Content-Length", post + "Content-Length: -5\r\n\r\n" + call, 400},
        {"non-numeric Content-Length", post + "Content-Length: abc\r\n\r\n" + call, 400},
        {"repeated Content-Length", post + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nabcde",
         400},
        {"Content-Length list", post + "Content-Length: 5, 5\r\n\r\nabcde", 400},
        {"Content-Length and chunked",
         post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {"huge headers", post + "X-Padding: " + std::string(64 * 1024, 'a') + "\r\n\r\n", 431},
        {"not HTTP", "HELLO THERE\r\n\r\n", 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection raw(port());
        raw.send(c.bytes);
        EXPECT_EQ(statusOf(raw.readToEnd()), c.status);
        EXPECT_TRUE(answersNormally(port()));
    }
}

TEST_F(HostileHttpTest, HealthNeedsNoTokenAndShowsNoData)
{
    httplib::Client client("127.0.0.1", port());
    auto res = client.Get("/health");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"ok":true})");
    EXPECT_EQ(client.Post("/health", "", "application/json")->status, 405);
}

TEST(ServerHealth, SaysWhenTheDatabaseIsGoneWithoutNamingIt)
{
    TempDir dir;
    const std::string db = makeDemoDb(dir);
    ServerOptions options = serverOn(db, "s3cret");
    RunningServer server(options);
    httplib::Client client("127.0.0.1", server.port());
    ASSERT_EQ(client.Get("/health")->status, 200);
    // Overwritten in place: the server's open connections see it too.
    {
        std::fstream file(db, std::ios::in | std::ios::out | std::ios::binary);
        file << std::string(64 * 1024, '\x5a');
    }
    auto res = client.Get("/health");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_TRUE(res->body.starts_with(R"({"ok":false,"message":")")) << res->body;
    EXPECT_NE(res->body.find("(pedido "), std::string::npos) << res->body;
    EXPECT_EQ(res->body.find("demo.db"), std::string::npos) << res->body;

    auto call = postRaw(server.port(), getPrincipalBody("T", "2024-03-15"),
                        {{"Authorization", "Bearer s3cret"}});
    ASSERT_TRUE(call);
    EXPECT_NE(call->body.find(R"("ok":false)"), std::string::npos) << call->body;
    EXPECT_EQ(call->body.find("demo.db"), std::string::npos) << call->body;
    // The detail is in the log, under the id that the client was told.
    const auto at = call->body.find("(pedido ");
    ASSERT_NE(at, std::string::npos) << call->body;
    const std::string id = call->body.substr(at + 8, call->body.find(')', at) - at - 8);
    std::string log;
    for (int i = 0; i < 100 && log.find("[" + id + "] POST") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = server.log();
    }
    EXPECT_NE(log.find("[" + id + "] POST"), std::string::npos) << log;
    EXPECT_NE(log.find("demo.db"), std::string::npos) << log;
}

// Peers that send a request a byte at a time hold a connection each, never a
// thread: the others are still served.
TEST_F(HostileHttpTest, SlowPeersDoNotHoldTheServer)
{
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 20; ++i) {
        slow.push_back(std::make_unique<RawConnection>(port()));
        slow.back()->send("G");
    }
    std::atomic<bool> done{false};
    std::thread drip([&] {
        while (!done) {
            for (auto& c : slow)
                c->send("E");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    for (int i = 0; i < 5; ++i) {
        auto res = postRaw(port(), getPrincipalBody("'0001'", "2024-03-15"));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_TRUE(answersNormally(port()));
    }
    done = true;
    drip.join();
}

TEST(ServerLimits, PeersThatHoldBackAreDisconnected)
{
    TempDir dir;
    ServerOptions options = serverOn(makeDemoDb(dir));
    options.requestTimeout = std::chrono::milliseconds(300);
    options.idleTimeout = std::chrono::milliseconds(300);
    RunningServer server(options);

    RawConnection idle(server.port());
    EXPECT_TRUE(idle.closedByServer());

    RawConnection dripping(server.port());
    bool cut = false;
    for (int i = 0; i < 400 && !cut; ++i) {
        cut = !dripping.send(i == 0 ? "G" : "E");
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(cut);
    // Logged when it is cut off: the peer that dripped, not the idle one.
    const std::string log = server.log();
    EXPECT_EQ(log.find("408 "), log.rfind("408 ")) << log;
    EXPECT_NE(log.find("408 "), std::string::npos) << log;
}

TEST(ServerLimits, ConnectionsFromOneAddressAreCapped)
{
    TempDir dir;
    ServerOptions options = serverOn(makeDemoDb(dir));
    options.maxConnectionsPerAddress = 3;
    RunningServer server(options);
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(std::make_unique<RawConnection>(server.port()));
    RawConnection fourth(server.port());
    EXPECT_TRUE(fourth.closedByServer());
    held.clear();
    bool served = false;
    for (int i = 0; i < 100 && !served; ++i) {
        served = answersNormally(server.port());
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(served);
}

// A certificate made here with the openssl command; returns its folder.
std::string makeCertificate(const TempDir& dir, const std::string& name)
{
    const std::string base = (dir.path() / name).string();
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
        base + ".key -out " + base + ".crt 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl could not make a certificate");
    return base;
}

TEST(ServerTls, ServesHttpsOnlyToAClientThatTrustsItsCertificate)
{
    TempDir dir;
    const std::string cert = makeCertificate(dir, "server");
    const std::string other = makeCertificate(dir, "other");
    ServerOptions options = serverOn(makeDemoDb(dir), "s3cret");
    options.tlsCert = cert + ".crt";
    options.tlsKey = cert + ".key";
    RunningServer server(options);

    httplib::SSLClient client("127.0.0.1", server.port());
    client.set_ca_cert_path((cert + ".crt").c_str());
    client.enable_server_certificate_verification(true);
    client.set_bearer_token_auth("s3cret");
    auto res =
        client.Post(kObjectPath, getPrincipalBody("'0002'", "2024-03-15"), "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find(R"("ok":true)"), std::string::npos);
    EXPECT_EQ(client.Get("/health")->status, 200);

    httplib::SSLClient wrongCa("127.0.0.1", server.port());
    wrongCa.set_ca_cert_path((other + ".crt").c_str());
    wrongCa.enable_server_certificate_verification(true);
    auto refused = wrongCa.Get("/health");
    EXPECT_FALSE(refused);

    // Plain HTTP gets no answer from a TLS server.
    EXPECT_FALSE(answersNormally(server.port()));

    // A key that is not the certificate's is refused at start.
    options.tlsKey = other + ".key";
    EXPECT_THROW(AppServer{options}, Error);
}

} // namespace
