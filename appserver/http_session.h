#pragma once
// One HTTP connection, plain or TLS: reads a whole request under its deadline,
// hands it to the server object, writes the reply (a whole body, or pieces it
// pulls from a spool at the peer's pace) and loops for keep-alive.
#include "request_log.h"
#include "server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace dotz::appserver {

class Spool;

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

// Headers some replies carry.
struct ReplyExtra
{
    const char* allow = nullptr; // the Allow header of a 405
    std::chrono::seconds retryAfter{0};
};

// A request and its reply as the server object sees them. Apart from note,
// every member may be called from any thread.
class Exchange
{
  public:
    virtual ~Exchange() = default;
    // The whole reply, after which the connection reads its next request.
    virtual void reply(unsigned status, std::string body, ReplyExtra extra = {}) = 0;
    // A 200 whose body the connection takes from the spool as the peer reads
    // it; the spool's detail ends the log line.
    virtual void sendSpooled(std::shared_ptr<Spool> spool) = 0;
    // Held until the reply has gone out or the connection is closed.
    virtual void holdCall(std::shared_ptr<void> ticket) = 0;
    virtual const std::string& address() const = 0;
    // Closes the connection when it waits for or reads a request.
    virtual void closeIfIdle() = 0;

    // Written by the connection's strand, or by the query thread that the
    // request was handed to until it hands over a reply; never by both at once.
    RequestNote note;
};

// What a session needs of the server. Shared by the sessions, which may end
// after the listener that started them (when the network is torn down).
struct SessionServices
{
    const ServerOptions& options;
    RequestLog& log;
    const std::atomic<bool>& stopping;
    std::atomic<std::uint64_t> lastId{0};
    // On the session's strand.
    std::function<void(const std::shared_ptr<Exchange>&, const HttpRequest&)> handle;
    // When a session ends.
    std::function<void(Exchange*, const std::string& address)> ended;
};

// Starts a session on the socket (its own strand); tls null for plain HTTP.
std::shared_ptr<Exchange> startSession(boost::asio::ip::tcp::socket socket,
                                       boost::asio::ssl::context* tls, std::string address,
                                       std::shared_ptr<SessionServices> services);

} // namespace dotz::appserver
