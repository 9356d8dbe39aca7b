#include "principal_object.h"

#include "principal.h"

#include "export/error.h"

#include <boost/asio/executor_work_guard.hpp>

#include <filesystem>
#include <optional>

namespace dotz::appserver {
namespace {

namespace http = boost::beast::http;

// What the operator reads when a reply cannot be made. The detail stays in the
// log line under the same request id: driver texts and the database's address
// are not for a client.
std::string operatorText(const std::exception& e, std::uint64_t id)
{
    const std::string request = " (pedido " + std::to_string(id) + ")";
    if (const auto* db = dynamic_cast<const DatabaseError*>(&e)) {
        switch (db->kind()) {
        case DatabaseError::Kind::Unavailable:
            return "Banco de dados indispon\u00edvel. Tente novamente em instantes." + request;
        case DatabaseError::Kind::Cancelled:
            return "Banco de dados indispon\u00edvel: a consulta foi cancelada no servidor de "
                   "banco "
                   "de dados. Tente novamente em instantes." +
                   request;
        case DatabaseError::Kind::QueryFailed:
            break;
        }
        return "Falha na consulta ao banco de dados." + request;
    }
    // The encoder's own refusal: a stored value the module cannot take, named by
    // packet, column, row and branch so that someone can correct it.
    if (dynamic_cast<const Error*>(&e)) {
        const std::string detail = e.what();
        return "Opera\u00e7\u00e3o bloqueada. Valor inv\u00e1lido no banco de dados: " + detail +
               (detail.ends_with('.') ? "" : ".") + request;
    }
    return "Erro interno do servidor de aplica\u00e7\u00e3o." + request;
}

// A database that is down, or cancelled the query: a later try, or another
// server of the store, may answer.
bool retryable(const std::exception& e)
{
    const auto* db = dynamic_cast<const DatabaseError*>(&e);
    return db && db->kind() != DatabaseError::Kind::QueryFailed;
}

std::string busyText(std::uint64_t id)
{
    return "Servidor de aplica\u00e7\u00e3o sobrecarregado. Tente novamente em instantes. "
           "(pedido " +
           std::to_string(id) + ")";
}

std::string tooManyCallsText(std::uint64_t id)
{
    return "H\u00e1 pedidos demais em andamento deste computador. Aguarde o t\u00e9rmino "
           "deles e tente novamente. (pedido " +
           std::to_string(id) + ")";
}

// Compared in full so that the time taken tells nothing about the token.
bool sameSecret(std::string_view given, std::string_view expected)
{
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

} // namespace

PrincipalObject::PrincipalObject(const ServerOptions& options, boost::asio::io_context& ioc,
                                 StorePool& stores, QueryPool& queries, SpoolBudget& spool,
                                 HealthProbe& health, CallLimit& calls, ServerMetrics& metrics)
    : options_(options), ioc_(ioc), stores_(stores), queries_(queries), spool_(spool),
      health_(health), calls_(calls), metrics_(metrics),
      spoolDir_(options.spoolDir.empty() ? std::filesystem::temp_directory_path().string()
                                         : options.spoolDir)
{
}

void PrincipalObject::handle(const std::shared_ptr<Exchange>& c, const HttpRequest& req)
{
    const std::string& path = c->note.path;
    const bool get = req.method() == http::verb::get;
    if (path == "/health") {
        if (!get)
            return c->reply(405, errorBody("/health answers GET only"), {.allow = "GET"});
        return health(c);
    }
    if (path == "/metrics")
        return serveMetrics(*c, req);
    if (!options_.token.empty() &&
        !sameSecret(req[http::field::authorization], "Bearer " + options_.token)) {
        const bool none = req[http::field::authorization].empty();
        c->note.detail = none ? "no token" : "wrong token";
        return c->reply(401, errorBody(none ? "this server needs a bearer token"
                                            : "the bearer token is not accepted"));
    }
    const std::string name =
        path.starts_with(wire::kPathPrefix) ? path.substr(wire::kPathPrefix.size()) : "";
    if (name.empty() || name.find('/') != std::string::npos)
        return c->reply(404, errorBody("nothing at " + path));
    if (name != wire::kObjectName)
        return c->reply(404, errorBody("no server object " + name));
    if (get)
        return describe(*c, name);
    if (req.method() == http::verb::post)
        return call(c, name, req.body());
    c->reply(405, errorBody("a server object answers GET and POST only"), {.allow = "GET, POST"});
}

void PrincipalObject::describe(Exchange& c, const std::string& name)
{
    std::string body = "{\"object\":" + jsonString(name) + ",\"methods\":[";
    bool first = true;
    for (const auto& entry : methods()) {
        body += (first ? "" : ",") + jsonString(entry.first);
        first = false;
    }
    c.reply(200, body + "]}");
}

void PrincipalObject::call(const std::shared_ptr<Exchange>& c, const std::string& name,
                           const std::string& body)
{
    auto ticket = calls_.enter(c->address());
    if (!ticket) {
        c->note.detail = "refused: " + std::to_string(options_.maxCallsPerAddress) +
                         " calls from this address are in progress";
        return c->reply(429, failureEnvelope(tooManyCallsText(c->note.id)),
                        {.retryAfter = options_.retryAfter});
    }
    c->holdCall(std::move(ticket));
    RpcRequest request;
    c->note.call = "unknown";
    metrics_.callStarted();
    try {
        parseRequest(body, request);
        if (request.notification) {
            // JSON-RPC: a notification gets no reply, and this object has no
            // method worth calling without one.
            c->note.detail = "notification " + quoteForMessage(request.method) + " ignored";
            return c->reply(204, {});
        }
        const auto method = methods().find(request.method);
        if (method == methods().end())
            throw RpcError{kMethodNotFound,
                           "Method not found: " + request.method + " on object " + name};
        c->note.call = method->first;
        (this->*method->second)(c, request);
    } catch (const RpcError& e) {
        c->note.outcome = ServerMetrics::Outcome::RpcError;
        c->note.detail = request.method.empty() ? "rpc error " + std::to_string(e.code)
                                                : quoteForMessage(request.method) + " rpc error " +
                                                      std::to_string(e.code);
        c->reply(200, rpcErrorBody(request.id, e));
    }
}

const std::map<std::string, PrincipalObject::Method, std::less<>>& PrincipalObject::methods()
{
    static const std::map<std::string, Method, std::less<>> table = {
        {"GetPrincipal", &PrincipalObject::getPrincipal}};
    return table;
}

void PrincipalObject::getPrincipal(const std::shared_ptr<Exchange>& c, const RpcRequest& r)
{
    requireStrings(r, {"branch selector", "day"});
    const std::string& selectorText = *r.params[0];
    const std::string& day = *r.params[1];
    if (!isIsoDay(day))
        throw RpcError{kInvalidParams, "Invalid params: parameter 2 (day) " + quoteForMessage(day) +
                                           " is not a date in the form YYYY-MM-DD"};
    std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + r.id + ",\"result\":";
    c->note.detail = "GetPrincipal selector=" + quoteForMessage(selectorText) + " day=" + day;
    BranchSelector selector;
    try {
        selector = parseSelector(selectorText);
    } catch (const Error& e) {
        c->note.detail += " refused: bad selector";
        c->note.outcome = ServerMetrics::Outcome::Refused;
        return c->reply(200, head + failureEnvelope(e.what()) + "}");
    }
    // The network keeps running until the query ends: it may still reply.
    queries_.submit(
        [this, c, head = std::move(head), selector = std::move(selector), day,
         work = boost::asio::make_work_guard(ioc_)] { produce(c, head, selector, day); });
}

// The reply is produced into a spool while the session sends it: a day can be
// hundreds of MB. One that ends within the hold-back goes out whole, with its
// length; until then a failure is still answered with ok:false.
void PrincipalObject::produce(const std::shared_ptr<Exchange>& c, const std::string& head,
                              const BranchSelector& selector, const std::string& day)
{
    bool finishing = false;
    std::string whole; // the reply when its one piece is also its last
    // Once made, the session sends from it, and the note is the session's.
    std::shared_ptr<Spool> spool;
    std::string detail;
    JsonOut out(
        [&](std::string_view piece) {
            if (spool)
                return spool->put(piece);
            if (finishing) {
                whole.assign(piece);
                return;
            }
            auto first = std::make_shared<Spool>(spool_, spoolDir_, options_.spoolMemory);
            first->put(piece);
            spool = std::move(first);
            c->sendSpooled(spool);
        },
        256 * 1024, options_.holdBack);
    PrincipalCounts counts;
    std::optional<StorePool::Lease> lease;
    const auto sent = [&] { return " after " + std::to_string(spool->total()) + " bytes"; };
    try {
        out.raw(head);
        lease.emplace(stores_.acquire());
        writePrincipal(
            **lease, selector, day, out, counts,
            [this](std::function<void()> task) { queries_.helper(std::move(task)); },
            queries_.share());
        lease.reset(); // the transaction is over: the connection goes back at once
        out.raw("}");
        finishing = true;
        out.finish();
        detail = " rows=" + std::to_string(counts.rows[0]) + "/" + std::to_string(counts.rows[1]) +
                 "/" + std::to_string(counts.rows[2]) + "/" + std::to_string(counts.rows[3]);
        if (!spool) {
            c->note.detail += detail + " bytes=" + std::to_string(whole.size());
            return c->reply(200, std::move(whole));
        }
        spool->finish(detail + " bytes=" + std::to_string(spool->total()));
    } catch (const SpoolGone&) {
        if (lease)
            lease->discard(); // the session has logged why
    } catch (const SpoolFull&) {
        if (lease)
            lease->discard();
        if (!spool) {
            c->note.detail += " refused: the spool budget is spent";
            c->note.outcome = ServerMetrics::Outcome::Refused;
            return c->reply(503, head + failureEnvelope(busyText(c->note.id)) + "}",
                            {.retryAfter = options_.retryAfter});
        }
        spool->fail(" broken off" + sent() + ": the spool budget is spent");
    } catch (const std::exception& e) {
        if (lease)
            lease->discard();
        metrics_.failed(e);
        if (!spool) {
            // Nothing has left yet: the module gets the failure as ok:false.
            c->note.detail += " refused: " + logDetail(e);
            c->note.outcome = ServerMetrics::Outcome::Refused;
            return c->reply(200, head + failureEnvelope(operatorText(e, c->note.id), retryable(e)) +
                                     "}");
        }
        spool->fail(" broken off" + sent() + ": " + logDetail(e));
    }
}

void PrincipalObject::health(const std::shared_ptr<Exchange>& c)
{
    health_.probe([this, c](std::exception_ptr failure) {
        if (!failure)
            return c->reply(200, R"({"ok":true})");
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            // The query is trivial: whatever fails, the database is what fails.
            const DatabaseError unavailable(DatabaseError::Kind::Unavailable, e.what());
            const auto* db = dynamic_cast<const DatabaseError*>(&e);
            metrics_.failed(db ? *db : unavailable);
            c->note.detail = "unhealthy: " + logDetail(e);
            c->reply(503, failureEnvelope(operatorText(unavailable, c->note.id), true));
        }
    });
}

// The figures are no data of the sales: a peer on this machine reads them
// without a token, any other needs the metrics token (or the server's).
void PrincipalObject::serveMetrics(Exchange& c, const HttpRequest& req)
{
    if (req.method() != http::verb::get)
        return c.reply(405, errorBody("/metrics answers GET only"), {.allow = "GET"});
    const std::string_view given = req[http::field::authorization];
    const auto bears = [given](const std::string& token) {
        return !token.empty() && sameSecret(given, "Bearer " + token);
    };
    if (!isLoopback(c.address()) && !bears(options_.metricsToken) && !bears(options_.token)) {
        c.note.detail = given.empty() ? "no token" : "wrong token";
        return c.reply(401, errorBody("/metrics needs a bearer token from another machine"));
    }
    c.note.contentType = ServerMetrics::kContentType;
    metrics_.spoolInUse(spool_.used());
    c.reply(200, metrics_.text());
}

// The store's errors never hold a password; the database argument as given
// is replaced all the same, should a driver repeat it.
std::string PrincipalObject::logDetail(const std::exception& e) const
{
    std::string detail = e.what();
    const std::string shown = connectionText(options_.db);
    if (shown != options_.db)
        for (size_t at; (at = detail.find(options_.db)) != std::string::npos;)
            detail.replace(at, options_.db.size(), shown);
    return detail;
}

} // namespace dotz::appserver
