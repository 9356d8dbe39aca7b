#pragma once
// The application server: HTTP/1.1 + JSON-RPC 2.0, one server object
// (Krt52410.rdmExportaDotz) with its method GetPrincipal.
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

namespace dotz::appserver {

inline constexpr const char* kObjectName = "Krt52410.rdmExportaDotz";
inline constexpr int kDefaultPort = 8211;

struct ServerOptions
{
    std::string db; // SQLite file path or postgresql:// URI
    std::string listen = "127.0.0.1";
    int port = kDefaultPort; // 0: any free port (see AppServer::port)
    std::string token;       // when set, every request needs "Authorization: Bearer <token>"
    size_t maxBody = 64 * 1024;
    // A reply is held back until it reaches this size: a failure before that is
    // answered with ok:false; after it, only by breaking the connection off.
    size_t holdBack = 4 * 1024 * 1024;
    std::ostream* log = nullptr; // one line per request; none when null
};

class AppServer
{
  public:
    // Checks that the database opens and holds the schema; throws dotz::Error.
    explicit AppServer(ServerOptions options);
    ~AppServer();
    AppServer(const AppServer&) = delete;
    AppServer& operator=(const AppServer&) = delete;

    // Binds the listening socket; throws dotz::Error naming address and port.
    void bind();
    int port() const;
    // Serves until stop(); call bind() first.
    void run();
    // Safe from any thread; run() returns once the requests in progress end.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace dotz::appserver
