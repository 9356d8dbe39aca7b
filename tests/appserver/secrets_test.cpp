// No password in what the server prints, logs or answers, whatever form its
// connection string takes: on a server nobody listens on, on a real one that
// refuses the password, and on one that starts refusing it while serving. And
// nothing of libpq's raw on stderr: its notices are lines of the log.
#include "server_fixture.h"

#include "appserver/stores/connection_string.h"
#include "appserver/stores/store.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

constexpr const char* kRole = "dotz_password";

struct Form
{
    const char* name;
    std::string db;       // {PW}: the password as written; {HP}: host:port, or {H} and {P}
    std::string password; // as the database knows it
    enum Writing { Plain, Percent, Quoted } writing = Plain;
    std::vector<std::string> pieces = {}; // of the password, that must not show either
    enum { Served, Refused, Sqlite } kind = Served;

    std::string written(const std::string& pw) const
    {
        std::string out = writing == Quoted ? "'" : "";
        for (char c : pw) {
            if (writing == Percent && !std::isalnum(static_cast<unsigned char>(c)) && c != '-') {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                out += hex;
            } else {
                out += writing == Quoted && (c == '\'' || c == '\\') ? std::string("\\") + c
                                                                     : std::string(1, c);
            }
        }
        return out + (writing == Quoted ? "'" : "");
    }
};

// libpq's grammar: a URI's user part, its query, several hosts, percent escapes,
// keyword=value with and without quotes. Refused: what libpq would read with a
// piece of the password as the host, port, database or a keyword.
std::vector<Form> forms()
{
    const std::string uri = "postgresql://dotz_password:{PW}@{HP}/dotz";
    const std::string query = "postgres://{HP}/dotz?user=dotz_password&password={PW}";
    const std::string kv = "host={H} port={P} dbname=dotz user=dotz_password password={PW}";
    const std::string hosts = "127.0.0.1:{DEAD},{HP}/dotz";
    return {
        {"uri", uri, "Ur-Pw-1x"},
        {"uri, escaped password", uri, "p@ss/w rd", Form::Percent, {"p%40ss", "w%20rd", "w rd"}},
        {"uri, every special character escaped",
         uri,
         "P@s/W r:D?x#1%y&z=,[]",
         Form::Percent,
         {"P%40s%2FW"}},
        {"uri, '?' and '#' in the password", uri, "Qv?T#k:9"},
        {"uri, password in the query", query, "Qy-Pw-2x"},
        {"uri, escaped password in the query", query, "Q&p=w?#2 %", Form::Percent, {"Q%26p"}},
        {"uri, password in the user part and the query",
         "postgresql://dotz_password:Dc-Oy-9z@{HP}/dotz?password={PW}",
         "Qo-Pw-9x",
         Form::Plain,
         {"Dc-Oy-9z"}},
        {"key=value, quoted password", kv, "K v'3\\Z q", Form::Quoted},
        {"key=value, '=' and '#' in an unquoted password", kv, "Kw=Q#4?x"},
        {"service", "service=dotzsecret password={PW}", "Sv-Pw-4x"},
        {"multi-host uri", "postgresql://dotz_password:{PW}@" + hosts, "Mh-Pw-5x"},
        {"multi-host uri, password in the query",
         "postgresql://" + hosts + "?user=dotz_password&password={PW}", "Mq-Pw-6x"},
        {"uri, two @", uri, "dbl@pw-6", Form::Plain, {"dbl", "pw-6", kRole}, Form::Refused},
        {"uri, '?' and '@' in the password", uri, "Pa?ss@Wd12x", Form::Plain, {}, Form::Refused},
        {"uri, '/' in the password", uri, "Sl/Hq-8x", Form::Plain, {}, Form::Refused},
        {"multi-host uri, '@' in the password",
         "postgresql://dotz_password:{PW}@" + hosts,
         "Mh@Pw-7x",
         Form::Plain,
         {},
         Form::Refused},
        {"key=value, space in an unquoted password", kv, "Sp Q-9x", Form::Plain, {}, Form::Refused},
        {"sqlite path", "/nonexistent/krt/{P}.db", "", Form::Plain, {}, Form::Sqlite},
    };
}

std::string replaced(std::string text, const std::string& what, const std::string& with)
{
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

// The program's exit status and all it printed; it is killed after 20 s.
std::pair<int, std::string> runProgram(const std::vector<std::string>& args)
{
    int out[2];
    if (pipe(out) != 0)
        return {-1, ""};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        alarm(20);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

class SecretsTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        postgres_ = new PostgresServer;
        dir_ = new TempDir;
        auto store = openStore(postgres_->uri());
        initDemo(*store, smallDemo());
        store->exec(std::string("CREATE ROLE ") + kRole + " LOGIN PASSWORD 'Right-pw-0'");
        store->exec(std::string("GRANT SELECT ON ALL TABLES IN SCHEMA public TO ") + kRole);
        const std::smatch m = match(postgres_->uri());
        const std::string service = (dir_->path() / "pg_service.conf").string();
        std::ofstream(service) << "[dotzsecret]\nhost=" << m[1] << "\nport=" << m[2]
                               << "\ndbname=dotz\nuser=" << kRole << "\n";
        setenv("PGSERVICEFILE", service.c_str(), 1);
        setenv("PGPASSFILE", "/nonexistent", 1);
        config_ = new std::string((dir_->path() / "empty.ini").string());
        std::ofstream(*config_) << "";
    }
    static void TearDownTestSuite()
    {
        delete postgres_;
        delete dir_;
        delete config_;
    }
    static std::smatch match(const std::string& uri)
    {
        static const std::regex hostPort(R"(@([0-9.]+):([0-9]+)/)");
        static std::string kept;
        kept = uri;
        std::smatch m;
        std::regex_search(kept, m, hostPort);
        return m;
    }
    // The form for a server at host:port, with the password as written.
    static std::string dbFor(const Form& f, const std::string& host, int port,
                             const std::string& password)
    {
        std::string db = replaced(f.db, "{PW}", f.written(password));
        db = replaced(db, "{HP}", host + ":" + std::to_string(port));
        db = replaced(db, "{H}", host);
        db = replaced(db, "{P}", std::to_string(port));
        return replaced(db, "{DEAD}", std::to_string(freePort()));
    }
    // Neither the password, as given or as written, nor any three characters of it.
    static void expectNoSecret(const Form& f, const std::string& text, const std::string& password)
    {
        std::vector<std::string> secrets = f.pieces;
        if (!password.empty())
            secrets.insert(secrets.end(), {password, f.written(password)});
        for (size_t i = 0; i + 3 <= f.password.size(); ++i)
            secrets.push_back(f.password.substr(i, 3));
        for (const std::string& s : secrets)
            EXPECT_EQ(text.find(s), std::string::npos) << "'" << s << "' in: " << text;
    }
    static int port() { return std::stoi(match(postgres_->uri())[2]); }

    static inline PostgresServer* postgres_ = nullptr;
    static inline TempDir* dir_ = nullptr;
    static inline std::string* config_ = nullptr;
};

// The program refuses to start, and says why in words that hold no password.
TEST_F(SecretsTest, StartFailuresNameNoPassword)
{
    for (const bool reachable : {false, true})
        for (const Form& f : forms()) {
            SCOPED_TRACE(std::string(f.name) + (reachable ? ", wrong password" : ", no server"));
            const std::string wrong = f.password.empty() ? "" : "Wrong-" + f.password;
            const std::string db = dbFor(f, "127.0.0.1", reachable ? port() : freePort(), wrong);
            const auto [status, text] =
                runProgram({KRT_APPSERVER_PATH, "serve", "--config", *config_, "--port",
                            std::to_string(freePort()), "--db", db});
            EXPECT_NE(status, 0) << text;
            expectNoSecret(f, text, wrong);
            expectNoSecret(f, connectionText(db), wrong);
            // Once, with the command line that ps shows; a refused one is not used.
            const bool warned = text.find("ps shows") != std::string::npos;
            EXPECT_EQ(warned, f.kind == Form::Served) << text;
            EXPECT_EQ(text.find("ps shows"), text.rfind("ps shows")) << text;
            if (f.kind == Form::Refused) {
                EXPECT_NE(text.find("(it is not shown"), std::string::npos) << text;
            } else if (f.kind == Form::Sqlite) {
                EXPECT_NE(text.find("SQLite database " + db + " does not exist"), std::string::npos)
                    << text;
            } else {
                EXPECT_NE(text.find("PostgreSQL database"), std::string::npos) << text;
                if (reachable) {
                    EXPECT_NE(text.find("password authentication failed"), std::string::npos)
                        << text;
                }
            }
        }
}

// Started with the right password, the server meets a database that refuses
// it: calls get ok:false, /health 503, and the log stays one line a request.
TEST_F(SecretsTest, RefusalsWhileServingNameNoPassword)
{
    auto admin = openStore(postgres_->uri());
    for (const Form& f : forms()) {
        if (f.kind != Form::Served)
            continue;
        SCOPED_TRACE(f.name);
        std::string quoted = replaced(f.password, "'", "''");
        admin->exec(std::string("ALTER ROLE ") + kRole + " PASSWORD '" + quoted + "'");
        std::string log, call, health;
        {
            RunningServer server(serverOn(dbFor(f, "127.0.0.1", port(), f.password)));
            admin->exec(std::string("ALTER ROLE ") + kRole + " PASSWORD 'Right-pw-0'");
            admin->query(std::string("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                     "WHERE usename = '") +
                             kRole + "'",
                         {}, [](const Row&) {});
            auto res = postRaw(server.port(), getPrincipalBody("T", "2024-03-15"));
            httplib::Client client("127.0.0.1", server.port());
            auto h = client.Get("/health");
            ASSERT_TRUE(res && h);
            call = res->body;
            health = h->body;
            EXPECT_EQ(h->status, 503);
            log = server.log();
        }
        EXPECT_NE(call.find("Banco de dados indispon"), std::string::npos) << call;
        // A client with other servers of the store moves on to one of them.
        EXPECT_NE(call.find(R"("retry":true)"), std::string::npos) << call;
        EXPECT_NE(log.find("password authentication failed"), std::string::npos) << log;
        for (const std::string& text : {call, health, log})
            expectNoSecret(f, text, f.password);
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(line.starts_with("20")) << "a request's line split: " << line;
    }
}

// libpq's notices, from a connection's start on, are one stamped line each of
// the server's log, or of stderr when no server runs; never libpq's raw lines.
// The first host answers nothing: past connect_timeout libpq tries the next.
TEST_F(SecretsTest, NoticesAreLogLines)
{
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(silent, 4), 0); // never accepted: the connection waits for an answer
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string hostPort = "127.0.0.1:" + std::to_string(port());
    // debug5: the server sends notices while the connection starts, too.
    const std::string debug = "options=-c%20client_min_messages%3Ddebug5";
    const std::string twoHosts =
        "postgresql://dotz@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "," + hostPort +
        "/dotz?connect_timeout=2&" + debug;

    const std::string errFile = (dir_->path() / "stderr").string();
    std::string log;
    {
        struct Redirect // stderr to errFile, until the end of the block
        {
            int saved = dup(2);
            explicit Redirect(const std::string& file)
            {
                const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(fd, 2);
                close(fd);
            }
            ~Redirect()
            {
                dup2(saved, 2);
                close(saved);
            }
        } redirect(errFile);
        {
            auto store = openStore(twoHosts);
            store->exec("COMMIT");
            store->exec("DO $$BEGIN RAISE NOTICE 'two%lines', E'\\n' USING DETAIL = 'x'; END$$");
        }
        RunningServer server(serverOn("postgresql://dotz@" + hostPort + "/dotz?" + debug));
        auto res = postRaw(server.port(), getPrincipalBody("T", "2024-03-15"));
        ASSERT_TRUE(res);
        EXPECT_NE(res->body.find(R"("ok":true)"), std::string::npos) << res->body;
        log = server.log();
    }
    close(silent);
    std::ostringstream read;
    read << std::ifstream(errFile).rdbuf();
    const std::string err = read.str();
    for (const std::string* text : {&err, static_cast<const std::string*>(&log)}) {
        EXPECT_NE(text->find("PostgreSQL notice: DEBUG:  "), std::string::npos) << *text;
        std::istringstream lines(*text);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(line.starts_with("20")) << "a raw or split line: " << line;
    }
    EXPECT_NE(err.find("Z PostgreSQL notice: WARNING:  there is no transaction in progress\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Z PostgreSQL notice: NOTICE:  two\\nlines\\nDETAIL:  x\n"),
              std::string::npos)
        << err;
}

} // namespace
