#include "server_fixture.h"

#include "appserver/stores/store_engines.h"

#include "base/error.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz::testing {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "dotz-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
    // The PostgreSQL server runs as another user and must reach its folder.
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

appserver::DemoOptions smallDemo()
{
    appserver::DemoOptions o;
    o.seed = 42;
    o.branches = 3;
    o.tills = 2;
    o.firstDay = "2024-03-14";
    o.days = 3;
    o.salesPerDay = 90;
    return o;
}

appserver::DemoOptions demoWeek()
{
    appserver::DemoOptions o = smallDemo();
    o.firstDay = "2024-03-11";
    o.days = 7;
    o.salesPerDay = 40;
    return o;
}

void makeBranchFolders(const std::filesystem::path& root)
{
    for (int b = 1; b <= smallDemo().branches; ++b) {
        char name[16];
        std::snprintf(name, sizeof name, "LOJA%04d", b);
        std::filesystem::create_directories(root / "DOTZ" / name);
    }
}

std::string makeDemoDb(const TempDir& dir, const appserver::DemoOptions& options,
                       const std::string& name)
{
    const std::string path = (dir.path() / name).string();
    auto store = appserver::openStore(path, createFile());
    appserver::initDemo(*store, options);
    return path;
}

RunningServer::RunningServer(appserver::ServerOptions options, int port)
{
    options.port = port;
    options.log = &log_;
    server_ = std::make_unique<appserver::AppServer>(std::move(options));
    server_->bind();
    thread_ = std::thread([this] { server_->run(); });
}

RunningServer::~RunningServer()
{
    server_->stop();
    thread_.join();
}

namespace {

std::string runScript(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char buf[256];
    while (size_t n = fread(buf, 1, sizeof buf, pipe))
        out.append(buf, n);
    const int status = pclose(pipe);
    if (status != 0)
        throw std::runtime_error(command + " failed");
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

const std::string kScript = std::string(DOTZ_SOURCE_DIR) + "/scripts/pg-test.sh";

} // namespace

PostgresServer::PostgresServer()
{
    uri_ = runScript(kScript + " start " + (dir_.path() / "pg").string());
}

PostgresServer::PostgresServer(StandbyOf standby)
{
    uri_ = runScript(kScript + " standby " + (dir_.path() / "pg").string() + " " +
                     (standby.primary.dir_.path() / "pg").string());
}

PostgresServer::PostgresServer(PooledBy pooler)
{
    uri_ = runScript(kScript + " pooler " + (dir_.path() / "pg").string() + " " +
                     (pooler.server.dir_.path() / "pg").string());
}

void PostgresServer::restart()
{
    runScript(kScript + " restart " + (dir_.path() / "pg").string());
}

PostgresServer::~PostgresServer()
{
    try {
        runScript(kScript + " stop " + (dir_.path() / "pg").string());
    } catch (...) {
    }
}

// The port is never let go: one closed and handed over was free for any test
// program running beside this one to take, until the server meant for it
// bound it. A socket bound without listening, with SO_REUSEADDR, keeps the
// kernel from giving the port to anyone else, while the servers (which set
// SO_REUSEADDR too) may still listen on it. Its descriptor stays open, on
// purpose, until the process ends.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("cannot find a free port");
    return ntohs(addr.sin_port);
}

httplib::Result postRaw(int port, const std::string& body, const httplib::Headers& headers,
                        const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(std::chrono::seconds(30));
    return client.Post(path.c_str(), headers, body, "application/json");
}

std::string getPrincipalBody(const std::string& selector, const std::string& day, int id)
{
    auto quote = [](const std::string& s) {
        std::string out = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + "\"";
    };
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
           ",\"method\":\"GetPrincipal\",\"params\":[" + quote(selector) + "," + quote(day) + "]}";
}

void expectSameReplies(int portA, int portB, const std::vector<std::string>& selectors,
                       const std::vector<std::string>& days)
{
    for (const std::string& selector : selectors)
        for (const std::string& day : days) {
            SCOPED_TRACE(selector + " " + day);
            auto a = postRaw(portA, getPrincipalBody(selector, day));
            auto b = postRaw(portB, getPrincipalBody(selector, day));
            ASSERT_TRUE(a && b);
            EXPECT_EQ(a->body, b->body);
            EXPECT_NE(b->body.find("\"ok\":true"), std::string::npos);
        }
}

} // namespace dotz::testing
