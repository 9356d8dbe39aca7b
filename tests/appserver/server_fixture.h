#pragma once
// Test helpers: a demo database in a temporary folder, an application server on a
// free loopback port, a throwaway PostgreSQL server, and raw HTTP calls.
#include "appserver/demo/demo.h"
#include "appserver/server.h"
#include "appserver/stores/store_engines.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace dotz::testing {

// A folder removed with everything in it at the end.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline appserver::ServerOptions serverOn(std::string db, std::string token = {})
{
    appserver::ServerOptions o;
    o.db = std::move(db);
    o.token = std::move(token);
    return o;
}
inline appserver::OpenOptions readOnly()
{
    appserver::OpenOptions o;
    o.readOnly = true;
    return o;
}
inline appserver::OpenOptions createFile()
{
    appserver::OpenOptions o;
    o.create = true;
    return o;
}

// The demo options the tests share: small, several branches and days.
appserver::DemoOptions smallDemo();

// smallDemo's branches over the week 2024-03-11 to 2024-03-17, 40 sales a day:
// what the end-to-end runs of dotz-export export.
appserver::DemoOptions demoWeek();
// The DOTZ folders of the demo's branches (C:\DOTZ\LOJAnnnn\), empty, under `root`.
void makeBranchFolders(const std::filesystem::path& root);

// Fills a new SQLite file with demo data and returns its path.
std::string makeDemoDb(const TempDir& dir, const appserver::DemoOptions& options = smallDemo(),
                       const std::string& name = "demo.db");

// An application server running on a thread of its own.
class RunningServer
{
  public:
    // On any free port, or on the one given.
    explicit RunningServer(appserver::ServerOptions options, int port = 0);
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;
    int port() const { return server_->port(); }
    std::string log() const { return log_.str(); }
    const appserver::AppServer& server() const { return *server_; }

  private:
    std::ostringstream log_;
    std::unique_ptr<appserver::AppServer> server_;
    std::thread thread_;
};

// A PostgreSQL server started by scripts/pg-test.sh; uri() connects to it.
class PostgresServer
{
  public:
    PostgresServer();
    // A hot standby of the primary, from a base backup of it; it cancels a query
    // that holds up its replay at once.
    struct StandbyOf
    {
        const PostgresServer& primary;
    };
    explicit PostgresServer(StandbyOf standby);
    // PgBouncer in transaction mode in front of the server: two connections to it
    // shared by all its clients, opened with another DateStyle and client encoding.
    struct PooledBy
    {
        const PostgresServer& server;
    };
    explicit PostgresServer(PooledBy pooler);
    ~PostgresServer();
    const std::string& uri() const { return uri_; }
    // Stops the server, which ends every connection, and starts it on the same port.
    void restart();

  private:
    TempDir dir_;
    std::string uri_;
};

// A loopback port that nothing listens on, kept from every other process until
// this one ends: a connection to it is refused, and a server of this process or
// of a child listens on it all the same.
int freePort();

// A suite whose tests share one demo database and one server on it.
class DemoServerTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        db_ = new std::string(makeDemoDb(*dir_));
        server_ = new RunningServer(serverOn(*db_));
    }
    static void TearDownTestSuite()
    {
        delete server_;
        delete db_;
        delete dir_;
        server_ = nullptr;
        db_ = nullptr;
        dir_ = nullptr;
    }
    static int port() { return server_->port(); }
    static const std::string& db() { return *db_; }

    static inline TempDir* dir_ = nullptr;
    static inline std::string* db_ = nullptr;
    static inline RunningServer* server_ = nullptr;
};

// POSTs a raw body to the module's object path.
httplib::Result postRaw(int port, const std::string& body, const httplib::Headers& headers = {},
                        const std::string& path = "/rpc/Krt52410.rdmExportaDotz");
std::string getPrincipalBody(const std::string& selector, const std::string& day, int id = 1);
// Each selector's call of each day is answered ("ok":true), with the same bytes by
// both servers.
void expectSameReplies(int portA, int portB, const std::vector<std::string>& selectors,
                       const std::vector<std::string>& days);

} // namespace dotz::testing
