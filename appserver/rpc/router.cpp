#include "router.h"

#include "failure_text.h"
#include "rpc.h"

#include "appserver/network/peer_address.h"

#include <algorithm>

#include "base/wire_contract.h"

namespace dotz::appserver {
namespace {

namespace http = boost::beast::http;

// Compared in full so that the time taken tells nothing about the token.
bool sameSecret(std::string_view given, std::string_view expected)
{
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

} // namespace

Router::Router(std::string token, std::string metricsToken, CallLimit& calls,
               std::chrono::seconds retryAfter)
    : token_(std::move(token)), metricsToken_(std::move(metricsToken)), calls_(calls),
      retryAfter_(retryAfter)
{
}

void Router::add(std::string path, Route route)
{
    Entry entry{std::move(route), {}, {}};
    for (const RouteMethod& m : entry.route.methods) {
        const bool first = entry.allow.empty();
        entry.allow += (first ? "" : ", ") + std::string(http::to_string(m.verb));
        entry.only += (first ? "" : " and ") + std::string(http::to_string(m.verb));
    }
    routes_.insert_or_assign(std::move(path), std::move(entry));
}

bool Router::bears(std::string_view given, const std::string& token) const
{
    return !token.empty() && sameSecret(given, "Bearer " + token);
}

void Router::handle(const std::shared_ptr<Exchange>& c, const HttpRequest& req) const
{
    const auto found = routes_.find(c->note.path);
    const Entry* entry = found == routes_.end() ? nullptr : &found->second;
    const std::string_view given = req[http::field::authorization];
    // Before the path is looked up, so that a peer without the token learns
    // nothing of what is there.
    if ((!entry || entry->route.access == Access::Token) && !token_.empty() &&
        !bears(given, token_)) {
        const bool none = given.empty();
        c->note.detail = none ? "no token" : "wrong token";
        return c->reply(401, errorBody(none ? "this server needs a bearer token"
                                            : "the bearer token is not accepted"));
    }
    if (!entry)
        return notFound(*c);
    const auto& methods = entry->route.methods;
    const auto method = std::find_if(methods.begin(), methods.end(),
                                     [&](const RouteMethod& m) { return m.verb == req.method(); });
    if (method == methods.end())
        return c->reply(405, errorBody(entry->route.name + " answers " + entry->only + " only"),
                        {.allow = entry->allow.c_str()});
    // The figures are no data of the sales: a peer on this machine reads them
    // without a token, any other needs the metrics token (or the server's).
    if (entry->route.access == Access::Local && !isLoopback(c->address()) &&
        !bears(given, metricsToken_) && !bears(given, token_)) {
        c->note.detail = given.empty() ? "no token" : "wrong token";
        return c->reply(401, errorBody(metricsTokenText()));
    }
    if (method->call) {
        auto ticket = calls_.enter(c->address());
        if (!ticket) {
            c->note.detail = "refused: " + std::to_string(calls_.cap()) +
                             " calls from this address are in progress";
            return c->reply(429, failureEnvelope(tooManyCallsText(c->note.id)),
                            {.retryAfter = retryAfter_});
        }
        c->holdCall(std::move(ticket));
    }
    method->handler(c, req);
}

void Router::notFound(Exchange& c) const
{
    const std::string& path = c.note.path;
    const std::string name =
        path.starts_with(wire::kPathPrefix) ? path.substr(wire::kPathPrefix.size()) : "";
    if (name.empty() || name.find('/') != std::string::npos)
        return c.reply(404, errorBody("nothing at " + path));
    c.reply(404, errorBody("no server object " + name));
}

} // namespace dotz::appserver
