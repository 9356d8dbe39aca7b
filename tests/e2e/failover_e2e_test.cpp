// dotz-export over a list of application servers of one store: a run outlives a
// server, and stops only when every server has failed, naming each.
#include "child_process.h"
#include "server_fixture.h"
#include "tcp_relay.h"

#include <gtest/gtest.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using testing::Ended;
using testing::filesUnder;
using testing::RunningServer;
using testing::TempDir;

class FailoverE2e : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        const std::string db = testing::makeDemoDb(*dir_, testing::demoWeek());
        // Two servers of the store, on the same database.
        first_ = new RunningServer(testing::serverOn(db));
        second_ = new RunningServer(testing::serverOn(db));
        clean_ = new std::map<std::string, std::string>;
        const Ended e = run("clean", address(first_->port()));
        ASSERT_EQ(e.code, 0) << e.err;
        *clean_ = filesUnder(tree("clean"));
        ASSERT_GT(clean_->size(), 20u);
    }
    static void TearDownTestSuite()
    {
        delete clean_;
        delete second_;
        delete first_;
        delete dir_;
    }

    static std::string address(int port) { return "127.0.0.1:" + std::to_string(port); }
    static fs::path tree(const std::string& name) { return dir_->path() / name / "tree"; }
    // The week exported into a fresh tree of the demo's DOTZ folders.
    static Ended run(const std::string& name, const std::string& servers)
    {
        testing::makeBranchFolders(tree(name));
        return testing::runToEnd({DOTZ_EXPORT_PATH, "--config", "/dev/null", "--server", servers,
                                  "--drive", "C=" + tree(name).string(), "--from", "2024-03-11",
                                  "--to", "2024-03-17", "--with-515"},
                                 dir_->path() / name);
    }

    static inline TempDir* dir_ = nullptr;
    static inline RunningServer* first_ = nullptr;
    static inline RunningServer* second_ = nullptr;
    static inline std::map<std::string, std::string>* clean_ = nullptr;
};

// The first server dies while it sends the third day: the day starts over on
// the second, and the week is as a clean run writes it.
TEST_F(FailoverE2e, AServerKilledAtTheThirdDay)
{
    testing::TcpRelay dying(first_->port(), "2024-03-13", 2000);
    const std::string a = address(dying.port()), b = address(second_->port());
    const Ended e = run("killed", a + "," + b);
    EXPECT_EQ(e.code, 0) << e.err;
    EXPECT_TRUE(dying.killed());
    EXPECT_NE(e.err.find("O servidor de aplicação " + a + " falhou no dia 13/03/2024 ("),
              std::string::npos)
        << e.err;
    EXPECT_NE(e.err.find("o dia recomeça pelo servidor " + b + "."), std::string::npos) << e.err;
    EXPECT_EQ(filesUnder(tree("killed")), *clean_);
}

TEST_F(FailoverE2e, TheThirdOfThreeWhenTheFirstTwoAreDown)
{
    const std::string down1 = address(testing::freePort()), down2 = address(testing::freePort());
    const std::string up = address(first_->port());
    const Ended e = run("third", down1 + "," + down2 + "," + up);
    EXPECT_EQ(e.code, 0) << e.err;
    EXPECT_NE(e.err.find(down1 + " falhou no dia 11/03/2024 (conexão recusada"), std::string::npos)
        << e.err;
    EXPECT_NE(e.err.find("o dia recomeça pelo servidor " + up + "."), std::string::npos) << e.err;
    // Once one answers, the next days go to it first.
    EXPECT_EQ(e.err.find("12/03/2024"), std::string::npos) << e.err;
    EXPECT_EQ(filesUnder(tree("third")), *clean_);
}

TEST_F(FailoverE2e, EveryServerDownStopsTheRunNamingEach)
{
    std::vector<std::string> down;
    for (int i = 0; i < 3; ++i)
        down.push_back(address(testing::freePort()));
    const Ended e = run("down", down[0] + "," + down[1] + "," + down[2]);
    EXPECT_EQ(e.code, 1) << e.err;
    const std::string cause = ": conexão recusada ou servidor inalcançável";
    EXPECT_NE(e.err.find("Nenhum dos 3 servidores de aplicação atendeu a chamada do dia 11/03/2024 "
                         "(" +
                         down[0] + cause + "; " + down[1] + cause + "; " + down[2] + cause + ")."),
              std::string::npos)
        << e.err;
    EXPECT_TRUE(filesUnder(tree("down")).empty());
}

} // namespace
} // namespace dotz
