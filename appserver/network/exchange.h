#pragma once
// A request and its reply as the handlers see them, apart from how the
// connection carries them.
#include "pending_reply.h"

#include "appserver/operations/request_log.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace dotz::appserver {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

// A request and its reply as the handlers see them, on the session's strand.
// A handler replies at once, or hands over a reply that is made elsewhere.
class Exchange
{
  public:
    virtual ~Exchange() = default;
    // The whole reply, after which the connection reads its next request.
    virtual void reply(unsigned status, std::string body, ReplyExtra extra = {}) = 0;
    // The reply is made elsewhere: the connection takes it as it comes, and
    // adds what it says to the log line.
    virtual void await(std::shared_ptr<PendingReply> reply) = 0;
    // Held until the reply has gone out or the connection is closed.
    virtual void holdCall(std::shared_ptr<void> ticket) = 0;
    virtual const std::string& address() const = 0;
    // From any thread: closes the connection when it waits for or reads a request.
    virtual void closeIfIdle() = 0;

    // Only the connection's strand writes it: what a reply made elsewhere adds
    // comes with the reply.
    RequestNote note;
};

// Answers a request, at once or later, through its exchange; on the session's strand.
using Handler = std::function<void(const std::shared_ptr<Exchange>&, const HttpRequest&)>;

} // namespace dotz::appserver
