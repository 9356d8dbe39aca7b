// The spool between a reply's query and its peer, and the server's peers that
// read slowly, stall, leave, or come too many at once.
#include "server_fixture.h"

#include "appserver/network/spool.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

// Everything the spool holds, as the network would take it.
std::string drain(Spool& spool)
{
    std::string all, piece;
    while (spool.take(piece, 1000, [] {}) == Spool::State::Data)
        all += piece;
    return all;
}

TEST(Spool, AReplyPastItsMemoryBoundGoesThroughAFileInOrder)
{
    SpoolBudget budget(1 << 20);
    std::string expected;
    {
        Spool spool(budget, ::testing::TempDir(), 100);
        for (int i = 0; i < 50; ++i) {
            const std::string piece(static_cast<size_t>(30 + i), static_cast<char>('a' + i % 26));
            spool.put(piece);
            expected += piece;
            if (i == 20) {
                // Read while it is written: memory serves again once the file is read.
                expected.erase(0, drain(spool).size());
            }
        }
        EXPECT_EQ(budget.used(), expected.size());
        spool.finish(" done");
        std::string piece;
        std::string rest;
        Spool::State state;
        while ((state = spool.take(piece, 64, [] {})) == Spool::State::Data)
            rest += piece;
        EXPECT_EQ(state, Spool::State::Ended);
        EXPECT_EQ(rest, expected);
        EXPECT_EQ(spool.detail(), " done");
        EXPECT_EQ(budget.used(), 0u);
    }
    EXPECT_EQ(budget.used(), 0u);
}

TEST(Spool, TheBudgetRefusesOnlyWhatGoesPastTheMemoryBound)
{
    SpoolBudget budget(150);
    Spool other(budget, ::testing::TempDir(), 1000);
    other.put(std::string(200, 'x')); // within its memory bound: taken though the budget is spent
    EXPECT_TRUE(budget.spent());
    Spool spool(budget, ::testing::TempDir(), 50);
    spool.put(std::string(40, 'y'));
    EXPECT_THROW(spool.put(std::string(40, 'z')), SpoolFull);
    spool.fail(" broken off");
    std::string piece;
    EXPECT_EQ(spool.take(piece, 100, [] {}), Spool::State::Failed);
    EXPECT_EQ(budget.used(), 200u);
}

TEST(Spool, ALeavingPeerFreesItAndStopsTheProducer)
{
    SpoolBudget budget(1 << 20);
    Spool spool(budget, ::testing::TempDir(), 10);
    spool.put(std::string(5000, 'x'));
    bool woken = false;
    std::string piece;
    ASSERT_EQ(spool.take(piece, 5000, [] {}), Spool::State::Data);
    ASSERT_EQ(spool.take(piece, 5000, [&] { woken = true; }), Spool::State::Empty);
    spool.put("more");
    EXPECT_TRUE(woken);
    spool.abandon();
    EXPECT_EQ(budget.used(), 0u);
    EXPECT_THROW(spool.put("x"), SpoolGone);
}

// A connection that asks for a day and reads nothing (or a few bytes), from a
// loopback address of its choice; its small receive buffer keeps the kernel
// from taking the reply in its place.
class Reader
{
  public:
    Reader(int port, const char* from = "127.0.0.1") : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        int small = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        timeval wait{20, 0}; // a server that never answers fails the test, not hangs it
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, from, &addr.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot bind");
        addr.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot connect");
    }
    ~Reader() { close(fd_); }
    void ask(const std::string& selector = "T", const std::string& day = "2024-03-14")
    {
        const std::string body = getPrincipalBody(selector, day);
        const std::string request = "POST /rpc/Krt52410.rdmExportaDotz HTTP/1.1\r\nHost: x\r\n"
                                    "Connection: close\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    std::string read(size_t most)
    {
        std::string out(most, '\0');
        const ssize_t n = recv(fd_, out.data(), most, 0);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
    // Everything until the server closes the connection.
    std::string readToEnd()
    {
        std::string out;
        for (std::string piece; !(piece = read(65536)).empty();)
            out += piece;
        return out;
    }

  private:
    int fd_;
};

// Polls until done() holds; a generous bound only keeps a fault from hanging.
template <class Done> bool eventually(Done done)
{
    for (int i = 0; i < 1000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

class SlowPeerTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        DemoOptions big = smallDemo();
        big.days = 1;
        big.salesPerDay = 4000; // a reply of about 1.3 MB
        db_ = new std::string(makeDemoDb(*dir_, big));
    }
    static void TearDownTestSuite()
    {
        delete db_;
        delete dir_;
    }
    static ServerOptions options()
    {
        ServerOptions o = serverOn(*db_);
        o.holdBack = 64 * 1024;
        o.spoolMemory = 64 * 1024;
        o.spoolDir = dir_->path().string();
        o.sendRateWindow = std::chrono::milliseconds(200);
        o.minSendRate = 256 * 1024;
        o.sendBuffer = 16 * 1024;
        return o;
    }
    static inline TempDir* dir_ = nullptr;
    static inline std::string* db_ = nullptr;
};

bool fullReply(const std::string& response)
{
    return response.starts_with("HTTP/1.1 200") && response.ends_with("]}]}}\r\n0\r\n\r\n");
}

TEST_F(SlowPeerTest, StalledReadersHoldNeitherTheDatabaseNorHealthAndAreCutOff)
{
    ServerOptions o = options();
    o.callsAtOnce = 1;
    RunningServer server(o);
    std::vector<std::unique_ptr<Reader>> stalled;
    for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        stalled.push_back(std::make_unique<Reader>(server.port(), from));
        stalled.back()->ask();
    }
    EXPECT_TRUE(eventually([&] { return server.server().spoolInUse() > 0; }));
    // With one query thread, a stalled reader that held it would hold these.
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(std::chrono::seconds(10));
    EXPECT_EQ(client.Get("/health")->status, 200);
    Reader normal(server.port());
    normal.ask("'0001'");
    EXPECT_TRUE(fullReply(normal.readToEnd()));
    // The rate rule ends them, and their spools go with them.
    const auto cut = [&] {
        const std::string log = server.log();
        size_t n = 0;
        for (size_t at = 0; (at = log.find("under the minimum send rate", at)) != std::string::npos;
             ++at)
            ++n;
        return n;
    };
    EXPECT_TRUE(eventually([&] { return cut() == stalled.size(); })) << server.log();
    EXPECT_TRUE(eventually([&] { return server.server().spoolInUse() == 0; }));
    for (auto& r : stalled)
        EXPECT_FALSE(fullReply(r->readToEnd()));
}

TEST_F(SlowPeerTest, APeerThatLeavesMidReplyFreesItsSpool)
{
    RunningServer server(options());
    {
        Reader leaving(server.port());
        leaving.ask();
        EXPECT_FALSE(leaving.read(1000).empty());
        EXPECT_TRUE(eventually([&] { return server.server().spoolInUse() > 0; }));
    }
    EXPECT_TRUE(eventually([&] { return server.server().spoolInUse() == 0; }));
    EXPECT_TRUE(eventually([&] { return server.log().find("went away") != std::string::npos; }))
        << server.log();
}

TEST_F(SlowPeerTest, PastTheCallsOfAnAddressOrTheSpoolBudgetComesRetryAfter)
{
    ServerOptions o = options();
    o.maxCallsPerAddress = 1;
    o.sendRateWindow = std::chrono::seconds(60);
    {
        RunningServer server(o);
        Reader holding(server.port());
        holding.ask();
        EXPECT_FALSE(holding.read(1000).empty());
        Reader second(server.port());
        second.ask();
        const std::string refused = second.readToEnd();
        EXPECT_TRUE(refused.starts_with("HTTP/1.1 429")) << refused;
        EXPECT_NE(refused.find("Retry-After: 5"), std::string::npos) << refused;
        EXPECT_NE(refused.find(R"("ok":false)"), std::string::npos) << refused;
        Reader elsewhere(server.port(), "127.0.0.2");
        elsewhere.ask("'0001'");
        EXPECT_TRUE(fullReply(elsewhere.readToEnd()));
    }
    o.maxSpool = 16 * 1024;
    RunningServer server(o);
    Reader big(server.port());
    big.ask();
    const std::string refused = big.readToEnd();
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 503")) << refused.substr(0, 300);
    EXPECT_NE(refused.find("Retry-After: 5"), std::string::npos);
    EXPECT_NE(refused.find(R"("ok":false)"), std::string::npos);
    // Within the memory bound a reply is never refused for the budget.
    Reader small(server.port());
    small.ask("'0001'", "2024-03-15");
    EXPECT_TRUE(small.readToEnd().starts_with("HTTP/1.1 200"));
}

TEST_F(SlowPeerTest, AReaderAboveTheMinimumRateGetsTheWholeDay)
{
    ServerOptions o = options();
    o.minSendRate = 64 * 1024;
    RunningServer server(o);
    Reader steady(server.port());
    steady.ask();
    std::string all;
    for (std::string piece; !(piece = steady.read(32 * 1024)).empty();) {
        all += piece;
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a few MiB/s
    }
    EXPECT_TRUE(fullReply(all)) << all.size();
}

} // namespace
