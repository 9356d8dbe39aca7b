#include "server.h"

#include "packets.h"
#include "selector.h"
#include "store.h"

#include "export/error.h"

#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace dotz::appserver {
namespace {

// JSON-RPC 2.0 error codes.
enum RpcCode {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
};

// The one typed error of request handling; the dispatcher turns it into the
// protocol's error object.
struct RpcError
{
    int code;
    std::string message;
};

struct RpcRequest
{
    std::string id = "null"; // raw JSON of the id, echoed verbatim
    bool notification = true;
    std::string method;
    std::vector<std::optional<std::string>> params; // strings; nullopt for other kinds
    std::vector<std::string> paramKinds;
};

std::string jsonString(std::string_view s)
{
    rapidjson::StringBuffer b;
    rapidjson::Writer<rapidjson::StringBuffer> w(b);
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    return {b.GetString(), b.GetSize()};
}

const char* kindName(simdjson::dom::element_type type)
{
    using T = simdjson::dom::element_type;
    switch (type) {
    case T::ARRAY:
        return "array";
    case T::OBJECT:
        return "object";
    case T::INT64:
    case T::UINT64:
    case T::DOUBLE:
        return "number";
    case T::STRING:
        return "string";
    case T::BOOL:
        return "boolean";
    case T::NULL_VALUE:
        return "null";
    }
    return "value";
}

// A request is a few hundred bytes: it is parsed whole and strictly (a reply is
// never, see the client).
// Fills `request` as far as it gets, so that an error can still echo the id.
void parseRequest(const std::string& body, RpcRequest& request)
{
    using namespace simdjson;
    using T = dom::element_type;
    dom::parser parser;
    dom::element doc;
    if (auto error = parser.parse(body).get(doc))
        throw RpcError{kParseError, std::string("Parse error: ") + error_message(error)};
    if (doc.type() == T::ARRAY)
        throw RpcError{kInvalidRequest, "Invalid Request: batch requests are not supported"};
    if (doc.type() != T::OBJECT)
        throw RpcError{kInvalidRequest, std::string("Invalid Request: the body is a JSON ") +
                                            kindName(doc.type()) + ", not a request object"};
    dom::object object;
    if (doc.get_object().get(object) != SUCCESS)
        throw RpcError{kInvalidRequest, "Invalid Request: not an object"};
    dom::element id;
    if (object["id"].get(id) == SUCCESS) {
        if (id.type() != T::STRING && id.type() != T::NULL_VALUE && id.type() != T::INT64 &&
            id.type() != T::UINT64 && id.type() != T::DOUBLE)
            throw RpcError{kInvalidRequest,
                           "Invalid Request: \"id\" must be a string, a number or null"};
        request.id = simdjson::minify(id);
        request.notification = false;
    }
    std::string_view version;
    if (object["jsonrpc"].get(version) != SUCCESS || version != "2.0")
        throw RpcError{kInvalidRequest, "Invalid Request: \"jsonrpc\" must be \"2.0\""};
    std::string_view method;
    if (object["method"].get(method) != SUCCESS)
        throw RpcError{kInvalidRequest, "Invalid Request: \"method\" must be a string"};
    request.method = std::string(method);
    dom::element params;
    if (object["params"].get(params) == SUCCESS) {
        if (params.type() != T::ARRAY)
            throw RpcError{kInvalidParams,
                           "Invalid params: \"params\" must be an array of positional arguments"};
        dom::array items;
        if (params.get_array().get(items) != SUCCESS)
            throw RpcError{kInvalidParams, "Invalid params: not an array"};
        for (dom::element item : items) {
            request.paramKinds.push_back(kindName(item.type()));
            if (item.type() == T::STRING)
                request.params.emplace_back(std::string(item.get_string().value_unsafe()));
            else
                request.params.emplace_back(std::nullopt);
        }
    }
}

std::string rpcErrorBody(const std::string& id, const RpcError& e)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + std::to_string(e.code) +
           ",\"message\":" + jsonString(e.message) + "}}";
}

std::string failureEnvelope(const std::string& message)
{
    return "{\"ok\":false,\"message\":" + jsonString(message) + "}";
}

// What the log line of the current request says; the handler, the content
// provider and the logger run on the same worker thread.
struct RequestNote
{
    std::chrono::steady_clock::time_point start;
    std::string detail;
};
thread_local RequestNote tNote;

struct ClientGone
{
};

} // namespace

struct AppServer::Impl
{
    ServerOptions options;
    StorePool pool;
    httplib::Server http;
    std::mutex logMutex;
    int boundPort = 0;
    // httplib's stop() does nothing until the listening loop has begun; these
    // close that window, so that a stop() right after start is never lost.
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> runStarted{false};
    std::atomic<bool> runEnded{false};

    // Methods of the server object, each with its parameter check in one place.
    using Method = std::function<void(const RpcRequest&, httplib::Response&)>;
    std::map<std::string, Method, std::less<>> methods;

    explicit Impl(ServerOptions o)
        : options(std::move(o)), pool(options.db, OpenOptions{.readOnly = true})
    {
        methods["GetPrincipal"] = [this](const RpcRequest& r, httplib::Response& res) {
            getPrincipal(r, res);
        };
    }

    void writeLog(const httplib::Request& req, const httplib::Response& res)
    {
        if (!options.log)
            return;
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - tNote.start)
                              .count();
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
        char took[32];
        std::snprintf(took, sizeof took, "%.1f ms", ms);
        std::ostringstream line;
        // The path comes URL-decoded: control characters must not split the line.
        std::string path;
        for (char c : req.path) {
            const auto u = static_cast<unsigned char>(c);
            path += u < 0x20 || u == 0x7F ? '?' : c;
        }
        line << stamp << ' ' << req.remote_addr << ' ' << req.method << ' ' << path << ' '
             << res.status;
        if (!tNote.detail.empty())
            line << ' ' << tNote.detail;
        line << ' ' << took << '\n';
        std::lock_guard lock(logMutex);
        *options.log << line.str() << std::flush;
        tNote = {};
    }

    static void sendJson(httplib::Response& res, int status, const std::string& body)
    {
        res.status = status;
        res.set_content(body, "application/json");
    }

    bool knownObject(const std::string& name) const { return name == kObjectName; }

    void describeObject(const httplib::Request& req, httplib::Response& res)
    {
        const std::string name = req.matches[1];
        if (!knownObject(name)) {
            sendJson(res, 404, "{\"error\":" + jsonString("no server object " + name) + "}");
            return;
        }
        std::string body = "{\"object\":" + jsonString(name) + ",\"methods\":[";
        bool first = true;
        for (const auto& [method, fn] : methods) {
            body += (first ? "" : ",") + jsonString(method);
            first = false;
        }
        sendJson(res, 200, body + "]}");
    }

    void callObject(const httplib::Request& req, httplib::Response& res)
    {
        const std::string name = req.matches[1];
        if (!knownObject(name)) {
            sendJson(res, 404, "{\"error\":" + jsonString("no server object " + name) + "}");
            return;
        }
        RpcRequest request;
        try {
            parseRequest(req.body, request);
            if (request.notification) {
                // JSON-RPC: a notification gets no reply, and this object has no
                // method worth calling without one.
                tNote.detail = "notification " + quoteForMessage(request.method) + " ignored";
                res.status = 204;
                return;
            }
            const auto method = methods.find(request.method);
            if (method == methods.end())
                throw RpcError{kMethodNotFound,
                               "Method not found: " + request.method + " on object " + name};
            method->second(request, res);
        } catch (const RpcError& e) {
            tNote.detail = request.method.empty() ? "rpc error " + std::to_string(e.code)
                                                  : quoteForMessage(request.method) +
                                                        " rpc error " + std::to_string(e.code);
            sendJson(res, 200, rpcErrorBody(request.id, e));
        }
    }

    static void requireStrings(const RpcRequest& r, std::initializer_list<const char*> names)
    {
        if (r.params.size() != names.size())
            throw RpcError{kInvalidParams, "Invalid params: " + r.method + " takes " +
                                               std::to_string(names.size()) + " parameters, got " +
                                               std::to_string(r.params.size())};
        size_t i = 0;
        for (const char* n : names) {
            if (!r.params[i])
                throw RpcError{kInvalidParams, "Invalid params: parameter " +
                                                   std::to_string(i + 1) + " (" + n +
                                                   ") must be a string, got " + r.paramKinds[i]};
            ++i;
        }
    }

    void getPrincipal(const RpcRequest& r, httplib::Response& res)
    {
        requireStrings(r, {"branch selector", "day"});
        const std::string& selectorText = *r.params[0];
        const std::string& day = *r.params[1];
        if (!isIsoDay(day))
            throw RpcError{kInvalidParams, "Invalid params: parameter 2 (day) " +
                                               quoteForMessage(day) +
                                               " is not a date in the form YYYY-MM-DD"};
        const std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + r.id + ",\"result\":";
        tNote.detail = "GetPrincipal selector=" + quoteForMessage(selectorText) + " day=" + day;
        BranchSelector selector;
        try {
            selector = parseSelector(selectorText);
        } catch (const Error& e) {
            tNote.detail += " refused: bad selector";
            sendJson(res, 200, head + failureEnvelope(e.what()) + "}");
            return;
        }
        // The body is produced while it is sent: a day can be hundreds of MB.
        res.set_chunked_content_provider(
            "application/json", [this, head, selector, day](size_t, httplib::DataSink& sink) {
                return streamPrincipal(head, selector, day, sink);
            });
    }

    bool streamPrincipal(const std::string& head, const BranchSelector& selector,
                         const std::string& day, httplib::DataSink& sink)
    {
        size_t sent = 0;
        JsonOut out(
            [&](std::string_view piece) {
                if (!sink.write(piece.data(), piece.size()))
                    throw ClientGone{};
                sent += piece.size();
            },
            256 * 1024, options.holdBack);
        PrincipalCounts counts;
        std::optional<StorePool::Lease> lease;
        try {
            out.raw(head);
            lease.emplace(pool.acquire());
            writePrincipal(**lease, selector, day, out, counts);
            out.raw("}");
            out.finish();
            sink.done();
            tNote.detail += " rows=" + std::to_string(counts.rows[0]) + "/" +
                            std::to_string(counts.rows[1]) + "/" + std::to_string(counts.rows[2]) +
                            "/" + std::to_string(counts.rows[3]) + " bytes=" + std::to_string(sent);
            return true;
        } catch (const ClientGone&) {
            if (lease)
                lease->discard();
            tNote.detail += " client went away after " + std::to_string(sent) + " bytes";
            return false;
        } catch (const std::exception& e) {
            if (lease)
                lease->discard();
            if (!out.flushed()) {
                // Nothing has left yet: the module gets the failure as ok:false.
                out.discard();
                try {
                    out.raw(head);
                    out.raw(failureEnvelope(e.what()));
                    out.raw("}");
                    out.finish();
                    sink.done();
                } catch (const ClientGone&) {
                    return false;
                }
                tNote.detail += std::string(" refused: ") + e.what();
                return true;
            }
            // Part of the reply is gone: breaking the connection is the only
            // way left to tell the client that it is incomplete.
            tNote.detail += " broken off after " + std::to_string(sent) + " bytes: " + e.what();
            return false;
        }
    }
};

AppServer::AppServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options)))
{
    Impl& s = *impl_;
    {
        // Fail at start rather than at the first request.
        auto lease = s.pool.acquire();
        lease->query("SELECT COUNT(*) FROM FILIAL", {}, [](const Row&) {});
    }
    s.http.set_payload_max_length(s.options.maxBody);
    s.http.set_write_timeout(std::chrono::seconds(120));
    s.http.set_read_timeout(std::chrono::seconds(30));
    s.http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        tNote = {std::chrono::steady_clock::now(), {}};
        const std::string& token = impl_->options.token;
        if (token.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        const std::string expected = "Bearer " + token;
        const std::string given = req.get_header_value("Authorization");
        // Compared in full so that the time taken tells nothing about the token.
        bool same = given.size() == expected.size();
        unsigned char diff = 0;
        for (size_t i = 0; i < expected.size(); ++i)
            diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
        same = same && diff == 0;
        if (same)
            return httplib::Server::HandlerResponse::Unhandled;
        tNote.detail = given.empty() ? "no token" : "wrong token";
        res.set_header("WWW-Authenticate", "Bearer");
        Impl::sendJson(res, 401,
                       given.empty() ? "{\"error\":\"this server needs a bearer token\"}"
                                     : "{\"error\":\"the bearer token is not accepted\"}");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.http.Get(R"(/rpc/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        impl_->describeObject(req, res);
    });
    s.http.Post(R"(/rpc/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        impl_->callObject(req, res);
    });
    s.http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty())
            return;
        std::string why = res.status == 404   ? "nothing at " + req.path
                          : res.status == 413 ? "request body larger than allowed"
                                              : "request refused";
        res.set_content("{\"error\":" + jsonString(why) + "}", "application/json");
    });
    s.http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        impl_->writeLog(req, res);
    });
}

AppServer::~AppServer() = default;

void AppServer::bind()
{
    Impl& s = *impl_;
    if (s.options.port < 0 || s.options.port > 65535)
        throw Error("port " + std::to_string(s.options.port) + " is not between 0 and 65535");
    if (s.options.port == 0) {
        s.boundPort = s.http.bind_to_any_port(s.options.listen);
        if (s.boundPort < 0)
            throw Error("cannot listen on " + s.options.listen + " (any port)");
    } else {
        if (!s.http.bind_to_port(s.options.listen, s.options.port))
            throw Error("cannot listen on " + s.options.listen + ":" +
                        std::to_string(s.options.port) +
                        " (address not available, or the port is in use)");
        s.boundPort = s.options.port;
    }
}

int AppServer::port() const
{
    return impl_->boundPort;
}

void AppServer::run()
{
    Impl& s = *impl_;
    s.runStarted = true;
    if (!s.stopRequested)
        s.http.listen_after_bind();
    s.runEnded = true;
}

void AppServer::stop()
{
    Impl& s = *impl_;
    s.stopRequested = true;
    while (s.runStarted && !s.runEnded && !s.http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.http.stop();
}

} // namespace dotz::appserver
