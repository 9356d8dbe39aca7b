#pragma once
// Which handler answers a request: by its path and method, once the peer has
// shown what the route asks of it and is within its address's calls in
// progress. Everything else is refused here, with the HTTP status that says why.
// Runs on the session's strand.
#include "appserver/network/call_limit.h"
#include "appserver/network/exchange.h"

#include <boost/beast/http/verb.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dotz::appserver {

// What a route asks of the peer.
enum class Access {
    Anyone, // it shows no data
    Local,  // a peer on this machine, or the metrics token or the server's
    Token,  // the server's token, when it has one; so does every path without a route
};

struct RouteMethod
{
    boost::beast::http::verb verb;
    Handler handler;
    bool call = false; // counts among its address's calls in progress (429 past the cap)
};

struct Route
{
    Access access;
    std::string name; // what a 405 calls it: "<name> answers GET only"
    std::vector<RouteMethod> methods;
};

class Router
{
  public:
    Router(std::string token, std::string metricsToken, CallLimit& calls,
           std::chrono::seconds retryAfter);

    void add(std::string path, Route route);
    void handle(const std::shared_ptr<Exchange>& c, const HttpRequest& req) const;

  private:
    struct Entry
    {
        Route route;
        std::string allow; // the Allow header of its 405
        std::string only;  // the body's words of its 405
    };
    bool bears(std::string_view given, const std::string& token) const;
    void notFound(Exchange& c) const;

    std::string token_;
    std::string metricsToken_;
    CallLimit& calls_;
    std::chrono::seconds retryAfter_;
    std::map<std::string, Entry, std::less<>> routes_;
};

} // namespace dotz::appserver
