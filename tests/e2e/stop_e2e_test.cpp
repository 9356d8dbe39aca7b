// dotz-export stopped while the server holds a day's call: the days before stay,
// byte for byte, and nothing of the later days appears. A call the server drags
// out ends, and says why.
#include "child_process.h"
#include "drip_server.h"
#include "server_fixture.h"
#include "stand_in_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::Ended;
using testing::filesUnder;
using testing::RunningServer;
using testing::StandInServer;
using testing::TempDir;

class StopE2e : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        server_ =
            new RunningServer(testing::serverOn(testing::makeDemoDb(*dir_, testing::demoWeek())));
        clean_ = new std::map<std::string, std::string>;
        const fs::path out = folders("clean");
        const Ended e = start(out, server_->port()).wait();
        ASSERT_EQ(e.code, 0) << e.err;
        *clean_ = filesUnder(out);
    }
    static void TearDownTestSuite()
    {
        delete clean_;
        delete server_;
        delete dir_;
    }

    static fs::path folders(const std::string& name)
    {
        const fs::path out = dir_->path() / name;
        testing::makeBranchFolders(out);
        return out;
    }
    // The week exported into `out` from the server on `port`; its output lies
    // beside `out`.
    static ChildProcess start(const fs::path& out, int port,
                              const std::vector<std::string>& more = {})
    {
        std::vector<std::string> args = {DOTZ_EXPORT_PATH,
                                         "--config",
                                         "/dev/null",
                                         "--server",
                                         "127.0.0.1:" + std::to_string(port),
                                         "--drive",
                                         "C=" + out.string(),
                                         "--from",
                                         "2024-03-11",
                                         "--to",
                                         "2024-03-17",
                                         "--with-515"};
        args.insert(args.end(), more.begin(), more.end());
        return ChildProcess(args, dir_->path(), out.filename().string());
    }

    // Runs the export through a stand-in that holds day 5, sends `signal` once the
    // call for it is in, and checks what the folders hold.
    void stopOnTheFifthDay(int signal)
    {
        StandInServer standIn(server_->port());
        standIn.stallOn("2024-03-15");
        const fs::path out = folders("stopped-" + std::to_string(signal));
        ChildProcess child = start(out, standIn.port());
        ASSERT_TRUE(standIn.awaitCall("2024-03-15", std::chrono::seconds(120)));
        ::kill(child.pid(), signal);
        const Ended e = child.wait();
        standIn.release();
        if (signal == SIGKILL) {
            EXPECT_EQ(e.signal, SIGKILL);
        } else {
            EXPECT_EQ(e.code, 1) << e.err;
            EXPECT_EQ(e.err, "Exportação interrompida a pedido: os arquivos dos dias até "
                             "14/03/2024 estão gravados; de 15/03/2024 em diante, nada foi "
                             "gravado.\n");
        }
        std::map<std::string, std::string> before;
        for (const auto& [name, bytes] : *clean_)
            if (fs::path(name).filename().string() < "20240315")
                before.emplace(name, bytes);
        ASSERT_GT(before.size(), 12u);
        EXPECT_EQ(filesUnder(out), before);
    }

    static inline TempDir* dir_ = nullptr;
    static inline RunningServer* server_ = nullptr;
    static inline std::map<std::string, std::string>* clean_ = nullptr;
};

TEST_F(StopE2e, KilledWhileTheServerHoldsTheFifthDayKeepsTheFirstFour)
{
    stopOnTheFifthDay(SIGKILL);
}

TEST_F(StopE2e, SigtermAndSigintStopSayingUpToWhichDayAndExitOne)
{
    stopOnTheFifthDay(SIGTERM);
    stopOnTheFifthDay(SIGINT);
}

TEST_F(StopE2e, AReplyThatDripsEndsTheCallSayingWhichLimit)
{
    struct Case
    {
        std::vector<std::string> limits; // scaled down from 8 KiB/s over 60 s, and 1 h
        const char* says;
    } cases[] = {
        {{"--min-rate", "8192", "--rate-window", "1000"}, "a resposta chegou devagar demais ("},
        {{"--min-rate", "0", "--call-timeout", "1"},
         "a chamada passou do tempo máximo de 1 s (call_timeout)."},
    };
    for (const Case& c : cases) {
        StandInServer standIn(server_->port());
        standIn.dripOn("2024-03-12", std::chrono::milliseconds(100));
        const fs::path out = folders("drip-" + c.limits[1]);
        const Ended e = start(out, standIn.port(), c.limits).wait();
        EXPECT_EQ(e.code, 1) << e.err;
        EXPECT_NE(e.err.find("Falha na chamada de GetPrincipal ao servidor de aplicação"),
                  std::string::npos)
            << e.err;
        EXPECT_NE(e.err.find(c.says), std::string::npos) << e.err;
        // The day before stays.
        for (const auto& [name, bytes] : filesUnder(out))
            EXPECT_TRUE(fs::path(name).filename().string().starts_with("20240311")) << name;
    }
}

// A peer whose status line and headers come one byte every 5 s, on the opening GET
// or on the POST, is cut off by the call timeout.
TEST_F(StopE2e, DrippedHeadersEndWithinTheCallTimeout)
{
    using testing::DripServer;
    const DripServer::Answer dripped{DripServer::reply(200, "{}"), 3};
    for (const bool onGet : {true, false}) {
        DripServer peer(onGet ? dripped : DripServer::Answer{DripServer::description()}, dripped);
        const fs::path out = folders(onGet ? "drip-get" : "drip-post");
        const Ended e = start(out, peer.port(), {"--call-timeout", "1"}).wait();
        EXPECT_EQ(e.code, 1) << e.err;
        EXPECT_NE(e.err.find(onGet ? "Falha na conexão com o servidor de aplicação 127.0.0.1:"
                                   : "Falha na chamada de GetPrincipal ao servidor de aplicação"),
                  std::string::npos)
            << e.err;
        EXPECT_NE(e.err.find("a chamada passou do tempo máximo de 1 s (call_timeout)."),
                  std::string::npos)
            << e.err;
    }
}

} // namespace
} // namespace dotz
