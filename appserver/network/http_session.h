#pragma once
// One HTTP connection, plain or TLS: reads a whole request under its deadline,
// hands it to the server's handler, writes the reply (a whole body, or pieces it
// pulls from a spool at the peer's pace) and loops for keep-alive.
#include "exchange.h"

#include "appserver/server_options.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace dotz::appserver {

// What a session needs of the server. Shared by the sessions, which may end
// after the listener that started them (when the network is torn down).
struct SessionServices
{
    const ServerOptions& options;
    RequestLog& log;
    const std::atomic<bool>& stopping;
    std::atomic<std::uint64_t> lastId{0};
    // On the session's strand.
    Handler handle;
    // When a session ends.
    std::function<void(Exchange*, const std::string& address)> ended;
};

// Starts a session on the socket (its own strand); tls null for plain HTTP.
std::shared_ptr<Exchange> startSession(boost::asio::ip::tcp::socket socket,
                                       boost::asio::ssl::context* tls, std::string address,
                                       std::shared_ptr<SessionServices> services);

} // namespace dotz::appserver
