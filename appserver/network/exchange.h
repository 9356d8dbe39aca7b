#pragma once
// A request and its reply as the handlers see them, apart from how the
// connection carries them.
#include "appserver/operations/request_log.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

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

// A request and its reply as the handlers see them. Apart from note,
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

// Answers a request, at once or later, through its exchange; on the session's strand.
using Handler = std::function<void(const std::shared_ptr<Exchange>&, const HttpRequest&)>;

} // namespace dotz::appserver
