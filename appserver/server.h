#pragma once
// The application server: HTTP/1.1 (optionally over TLS) + JSON-RPC 2.0, one
// server object (wire::kObjectName) with its method GetPrincipal,
// GET /health and GET /metrics.
#include "server_options.h"

#include <cstddef>
#include <memory>

namespace dotz::appserver {

class AppServer
{
  public:
    // Checks that the database opens and holds the schema, and loads the TLS
    // certificate and key; throws dotz::Error.
    explicit AppServer(ServerOptions options);
    ~AppServer();
    AppServer(const AppServer&) = delete;
    AppServer& operator=(const AppServer&) = delete;

    // Binds the listening socket; throws dotz::Error naming address and port.
    void bind();
    int port() const;
    // Serves until stop(); call bind() first.
    void run();
    // Safe from any thread, also before run(); run() returns once the requests
    // in progress end.
    void stop();
    // Bytes that replies hold in their spools, memory and disk.
    size_t spoolInUse() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace dotz::appserver
