// The example HAProxy configuration (packaging/haproxy.cfg) in front of two
// servers: a day fetched through it is the day a server answers, also once one
// of the two has stopped.
#include "server_fixture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

using namespace dotz::testing;

namespace {

constexpr const char* kHaproxy = "/usr/sbin/haproxy";

std::string replaced(std::string text, const std::string& what, const std::string& with)
{
    const size_t at = text.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return at == std::string::npos ? text : text.replace(at, what.size(), with);
}

// A program started for the test, ended with it.
struct Child
{
    pid_t pid = -1;
    Child(const char* program, std::vector<std::string> args)
    {
        pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(program)};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program, argv.data());
            _exit(127);
        }
    }
    ~Child() { end(SIGTERM); }
    void end(int signal)
    {
        if (pid <= 0)
            return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

TEST(Balancer, ExampleConfigurationServesADay)
{
    if (access(kHaproxy, X_OK) != 0)
        GTEST_SKIP() << "haproxy is not installed (scripts/install.sh installs it)";
    TempDir dir;
    const std::string db = makeDemoDb(dir);
    // The first as a program of its own, so that it can die as a machine would.
    const int firstPort = freePort();
    Child first(KRT_APPSERVER_PATH, {"serve", "--db", db, "--port", std::to_string(firstPort),
                                     "--config", "/dev/null"});
    RunningServer second(serverOn(db));

    std::ifstream in(std::string(DOTZ_SOURCE_DIR) + "/packaging/haproxy.cfg");
    std::stringstream example;
    example << in.rdbuf();
    const int port = freePort();
    std::string config =
        replaced(example.str(), "bind :8211", "bind 127.0.0.1:" + std::to_string(port));
    config = replaced(config, "10.0.0.11:8211", "127.0.0.1:" + std::to_string(firstPort));
    config = replaced(config, "10.0.0.12:8211", "127.0.0.1:" + std::to_string(second.port()));
    const std::string file = (dir.path() / "haproxy.cfg").string();
    std::ofstream(file) << config;

    Child balancer(kHaproxy, {"-db", "-q", "-f", file});
    const std::string body = getPrincipalBody("T", "2024-03-15");
    const auto direct = postRaw(second.port(), body);
    ASSERT_TRUE(direct);
    for (int i = 0; i < 100 && !postRaw(firstPort, body); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto through = postRaw(port, body);
    for (int i = 0; i < 100 && !through; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        through = postRaw(port, body);
    }
    ASSERT_TRUE(through);
    EXPECT_EQ(through->body, direct->body);

    first.end(SIGKILL); // its port now refuses: the balancer goes to the other one
    for (int i = 0; i < 4; ++i) {
        auto again = postRaw(port, body);
        ASSERT_TRUE(again) << "call " << i;
        EXPECT_EQ(again->body, direct->body);
    }
}

} // namespace
