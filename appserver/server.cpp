#include "server.h"

#include "metrics.h"
#include "packets.h"
#include "selector.h"
#include "store.h"

#include "export/error.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <simdjson.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

namespace dotz::appserver {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// A request line and its headers; the server's own requests need a few hundred bytes.
constexpr std::uint32_t kHeaderLimit = 16 * 1024;

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

// The replies' own string writer, so that every JSON text leaves one way.
std::string jsonString(std::string_view s)
{
    std::string json;
    JsonOut out([&](std::string_view piece) { json.append(piece); });
    out.string(s);
    out.finish();
    return json;
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
    // The parser keeps every member and a lookup finds the first: a second "id"
    // or "params" could mean something else to a proxy or a log reader.
    std::set<std::string_view> keys;
    for (dom::key_value_pair member : object)
        if (!keys.insert(member.key).second)
            throw RpcError{kInvalidRequest, "Invalid Request: member " + jsonString(member.key) +
                                                " appears more than once"};
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

std::string errorBody(const std::string& why)
{
    return "{\"error\":" + jsonString(why) + "}";
}

// What the operator reads when a reply cannot be made. The detail stays in the
// log line under the same request id: driver texts and the database's address
// are not for a client.
std::string operatorText(const std::exception& e, std::uint64_t id)
{
    const std::string request = " (pedido " + std::to_string(id) + ")";
    if (const auto* db = dynamic_cast<const DatabaseError*>(&e))
        return db->kind() == DatabaseError::Kind::Unavailable
                   ? "Banco de dados indisponível. Tente novamente em instantes." + request
                   : "Falha na consulta ao banco de dados." + request;
    // The encoder's own refusal: a stored value the module cannot take, named by
    // packet, column, row and branch so that someone can correct it.
    if (dynamic_cast<const Error*>(&e)) {
        const std::string detail = e.what();
        return "Operação bloqueada. Valor inválido no banco de dados: " + detail +
               (detail.ends_with('.') ? "" : ".") + request;
    }
    return "Erro interno do servidor de aplicação." + request;
}

// The path of a request target, percent-decoded, without its query.
std::string decodedPath(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string path;
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size() && hex(target[i + 1]) >= 0 &&
            hex(target[i + 2]) >= 0) {
            path += static_cast<char>(hex(target[i + 1]) * 16 + hex(target[i + 2]));
            i += 2;
        } else {
            path += target[i];
        }
    }
    return path;
}

// Compared in full so that the time taken tells nothing about the token.
bool sameSecret(std::string_view given, std::string_view expected)
{
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

// The parser takes a repeated Content-Length when the values agree, and a list
// "5, 5"; a request that frames its body twice is refused all the same.
bool plainContentLength(const http::request<http::string_body>& request)
{
    const auto n = request.count(http::field::content_length);
    if (n == 0)
        return true;
    if (n > 1)
        return false;
    const std::string_view value = request[http::field::content_length];
    return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
}

struct ClientGone
{
};

// One connection as request handling sees it: the current request's note for
// the log line, and the ways its reply leaves. Implemented by Session.
class Connection
{
  public:
    struct Note
    {
        std::uint64_t id = 0;
        Clock::time_point start;
        std::string method = "-";
        std::string path = "-";
        std::string detail;
        bool keepAlive = false;
        std::string call; // a server object's method: the label of its figures
        ServerMetrics::Outcome outcome = ServerMetrics::Outcome::Ok;
        const char* contentType = "application/json";
    };

    virtual ~Connection() = default;
    // Any thread: the whole reply, after which the connection reads its next request.
    virtual void reply(unsigned status, std::string body, const char* allow = nullptr) = 0;
    // A database thread only, each returning once its bytes are written: the
    // pieces of a chunked reply (false when the client is gone), and its end.
    virtual bool sendPiece(std::string_view piece) = 0;
    virtual bool endPieces() = 0;
    // Any thread: the reply cannot be completed; the connection is broken off.
    virtual void breakOff() = 0;
    // Any thread: closes the connection when it waits for or reads a request.
    virtual void closeIfIdle() = 0;
    virtual const std::string& peer() const = 0;

    // Written by the connection's strand, or by the database thread that the
    // request was handed to; never by both at once.
    Note note;
};

// The methods of the server object, each with its parameter check in one place.
class Server;
using Method = void (Server::*)(const std::shared_ptr<Connection>&, const RpcRequest&);
const std::map<std::string, Method, std::less<>>& methods();

class Server
{
  public:
    explicit Server(ServerOptions o)
        : options(std::move(o)), pool(options.db, OpenOptions{.readOnly = true}),
          acceptor(acceptStrand), acceptRetry(acceptStrand),
          database(static_cast<size_t>(std::max(1, options.databaseThreads)))
    {
        {
            // Fail at start rather than at the first request.
            auto lease = pool.acquire();
            lease->query("SELECT COUNT(*) FROM FILIAL", {}, [](const Row&) {});
        }
        if (options.tlsCert.empty() != options.tlsKey.empty())
            throw Error("TLS needs both a certificate (--tls-cert) and its key (--tls-key)");
        if (!options.tlsCert.empty())
            loadTls();
    }

    ServerOptions options;
    StorePool pool;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> lastId{0};
    int boundPort = 0;
    std::mutex logMutex;
    // Connections by client address (the cap), and the open ones (for stop()).
    std::mutex connectionsMutex;
    std::map<std::string, int> perAddress;
    std::set<std::string> refusedAddresses; // logged once until they fall below the cap
    std::unordered_map<Connection*, std::weak_ptr<Connection>> connections;
    ServerMetrics metrics;

    // Declared last, so that the sessions that their handlers still hold end
    // while everything above is alive.
    net::io_context ioc;
    net::strand<net::io_context::executor_type> acceptStrand{net::make_strand(ioc)};
    tcp::acceptor acceptor;
    net::steady_timer acceptRetry;
    std::optional<ssl::context> tls;
    // Queries block; they run here so that the network threads never wait on them.
    net::thread_pool database;

    void loadTls()
    {
        tls.emplace(ssl::context::tls_server);
        SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
        tls->set_options(ssl::context::default_workarounds | ssl::context::no_compression |
                         ssl::context::single_dh_use);
        boost::system::error_code ec;
        tls->use_certificate_chain_file(options.tlsCert, ec);
        if (ec)
            throw Error("TLS certificate " + options.tlsCert + ": " + ec.message());
        tls->use_private_key_file(options.tlsKey, ssl::context::pem, ec);
        if (ec)
            throw Error("TLS key " + options.tlsKey + ": " + ec.message() +
                        " (is it the key of the certificate " + options.tlsCert + "?)");
    }

    void accept();
    void open(tcp::socket socket);
    void stopAll();

    // Runs fn on a database thread; the network keeps running until it ends,
    // since fn may still write to its connection.
    template <class Fn> void onDatabaseThread(Fn fn)
    {
        net::post(database,
                  [work = net::make_work_guard(ioc), fn = std::move(fn)]() mutable { fn(); });
    }

    bool admit(const std::string& address)
    {
        std::lock_guard lock(connectionsMutex);
        int& n = perAddress[address];
        if (n >= options.maxConnectionsPerAddress) {
            if (refusedAddresses.insert(address).second)
                logLine(address + " refused: " + std::to_string(n) +
                        " connections from this address are open already");
            return false;
        }
        ++n;
        return true;
    }

    void track(const std::shared_ptr<Connection>& c)
    {
        std::lock_guard lock(connectionsMutex);
        connections[c.get()] = c;
        metrics.connectionOpened();
    }

    void forget(Connection* c, const std::string& address)
    {
        std::lock_guard lock(connectionsMutex);
        connections.erase(c);
        metrics.connectionClosed();
        if (--perAddress[address] <= 0)
            perAddress.erase(address);
        refusedAddresses.erase(address);
    }

    // Request handling: on the connection's strand; the database work is handed on.
    void handle(const std::shared_ptr<Connection>& c, const http::request<http::string_body>& req);
    void describeObject(Connection& c, const std::string& name);
    void callObject(const std::shared_ptr<Connection>& c, const std::string& name,
                    const std::string& body);
    static void requireStrings(const RpcRequest& r, std::initializer_list<const char*> names);
    void getPrincipal(const std::shared_ptr<Connection>& c, const RpcRequest& r);
    void streamPrincipal(Connection& c, const std::string& head, const BranchSelector& selector,
                         const std::string& day);
    void health(const std::shared_ptr<Connection>& c);
    void serveMetrics(Connection& c, const http::request<http::string_body>& req);
    std::string logDetail(const std::exception& e) const;

    void logLine(const std::string& text)
    {
        if (!options.log)
            return;
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
        std::lock_guard lock(logMutex);
        *options.log << stamp << ' ' << text << '\n' << std::flush;
    }

    void logRequest(const std::string& address, const Connection::Note& note, unsigned status)
    {
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - note.start).count();
        char took[32];
        std::snprintf(took, sizeof took, "%.1f ms", ms);
        // The path comes percent-decoded: control characters must not split the line.
        std::string path;
        for (char ch : note.path) {
            const auto u = static_cast<unsigned char>(ch);
            path += u < 0x20 || u == 0x7F ? '?' : ch;
        }
        std::ostringstream line;
        line << address << " [" << note.id << "] " << note.method << ' ' << path << ' ' << status;
        if (!note.detail.empty())
            line << ' ' << note.detail;
        line << ' ' << took;
        logLine(line.str());
        if (!note.call.empty())
            metrics.callEnded(note.call, note.outcome, ms / 1000);
    }
};

// One connection: owns its stream, its parser and its deadlines. Reads a whole
// request under one deadline, hands it to the server, writes the reply, and
// loops while the client keeps the connection alive. Stream is a TCP stream or a
// TLS stream over one; everything but the handshake and the close is shared.
template <class Stream>
class Session : public Connection, public std::enable_shared_from_this<Session<Stream>>
{
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  public:
    Session(Server& server, Stream stream, std::string address)
        : server_(server), stream_(std::move(stream)), address_(std::move(address))
    {
    }
    ~Session() override { server_.forget(this, address_); }

    void start()
    {
        if constexpr (kTls) {
            lowest().expires_after(server_.options.requestTimeout);
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec)
                                            return self->lowest().close();
                                        self->awaitRequest();
                                    });
        } else {
            awaitRequest();
        }
    }

    void reply(unsigned status, std::string body, const char* allow) override
    {
        net::dispatch(stream_.get_executor(),
                      [self = this->shared_from_this(), status, body = std::move(body),
                       allow]() mutable { self->writeReply(status, std::move(body), allow); });
    }

    bool sendPiece(std::string_view piece) override
    {
        if (!headSent_) {
            headSent_ = true;
            response_ = {};
            response_.result(http::status::ok);
            response_.set(http::field::content_type, "application/json");
            response_.keep_alive(keepAlive());
            response_.chunked(true);
            if (waitForWrite([this](auto handler) {
                    serializer_.emplace(response_);
                    http::async_write_header(stream_, *serializer_, std::move(handler));
                }))
                return false;
        }
        server_.metrics.bytesSent(piece.size());
        return !waitForWrite([this, piece](auto handler) {
            net::async_write(stream_, http::make_chunk(net::buffer(piece.data(), piece.size())),
                             std::move(handler));
        });
    }

    const std::string& peer() const override { return address_; }

    bool endPieces() override
    {
        server_.logRequest(address_, note, 200);
        if (const auto ec = waitForWrite([this](auto handler) {
                net::async_write(stream_, http::make_chunk_last(), std::move(handler));
            })) {
            notDelivered(ec);
            net::dispatch(stream_.get_executor(),
                          [self = this->shared_from_this()] { self->lowest().close(); });
            return false;
        }
        net::dispatch(stream_.get_executor(),
                      [self = this->shared_from_this()] { self->nextRequest(); });
        return true;
    }

    void breakOff() override
    {
        net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
            self->server_.logRequest(self->address_, self->note, 200);
            self->lowest().close();
        });
    }

    void closeIfIdle() override
    {
        net::post(stream_.get_executor(), [self = this->shared_from_this()] {
            if (self->idle_)
                self->lowest().close();
        });
    }

  private:
    Server& server_;
    Stream stream_;
    std::string address_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> reply_;
    http::response<http::empty_body> response_;
    std::optional<http::response_serializer<http::empty_body>> serializer_;
    bool headSent_ = false;
    bool idle_ = true; // waiting for a request or reading one: a stop may close it
    std::array<char, 16 * 1024> drain_{};

    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }
    bool keepAlive() const { return note.keepAlive && !server_.stopping; }

    // The idle limit runs until the first byte of a request, the request's own
    // deadline from there on.
    void awaitRequest()
    {
        idle_ = true;
        headSent_ = false;
        if (server_.stopping)
            return close();
        if (buffer_.size() > 0)
            return readRequest();
        lowest().expires_after(server_.options.idleTimeout);
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                                    if (ec)
                                        return self->lowest().close();
                                    self->buffer_.commit(n);
                                    self->readRequest();
                                });
    }

    void readRequest()
    {
        note = {};
        note.id = ++server_.lastId;
        note.start = Clock::now();
        lowest().expires_after(server_.options.requestTimeout);
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(server_.options.maxBody);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = this->shared_from_this()](beast::error_code ec, size_t) {
                if (ec)
                    return self->refuse(ec);
                if (!plainContentLength(self->parser_->get()))
                    return self->refuseWith(400, "Content-Length must be one decimal number");
                const bool more = !self->parser_->is_done();
                if (more && self->parser_->get()[http::field::expect] == "100-continue")
                    return self->continueBody();
                self->readBody();
            });
    }

    void continueBody()
    {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             if (ec)
                                 return self->lowest().close();
                             self->readBody();
                         });
    }

    void readBody()
    {
        if (parser_->is_done())
            return onRequest();
        // The parser stops at the body limit, chunked bodies included: nothing
        // past it is kept.
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             if (ec)
                                 return self->refuse(ec);
                             self->onRequest();
                         });
    }

    void refuse(beast::error_code ec)
    {
        if (ec == http::error::body_limit)
            return refuseWith(413, "request body larger than allowed");
        if (ec == http::error::header_limit)
            return refuseWith(431, "request headers larger than allowed");
        if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return refuseWith(400, "malformed request: " + ec.message());
        if (ec == beast::error::timeout) {
            note.detail = "request not complete within the deadline: connection closed";
            server_.logRequest(address_, note, 408);
        }
        lowest().close();
    }

    // Answers a request that cannot be read to its end, then closes.
    void refuseWith(unsigned status, const std::string& why)
    {
        if (parser_ && parser_->is_header_done()) {
            note.method = std::string(parser_->get().method_string());
            note.path = decodedPath(parser_->get().target());
        }
        note.detail = why;
        note.keepAlive = false;
        writeReply(status, errorBody(why), nullptr);
    }

    void onRequest()
    {
        idle_ = false;
        lowest().expires_never();
        const auto& req = parser_->get();
        note.method = std::string(req.method_string());
        note.path = decodedPath(req.target());
        note.keepAlive = req.keep_alive();
        server_.handle(this->shared_from_this(), req);
    }

    void writeReply(unsigned status, std::string body, const char* allow)
    {
        reply_ = {};
        reply_.version(11);
        reply_.result(status);
        reply_.set(http::field::content_type, note.contentType);
        if (status == 401)
            reply_.set(http::field::www_authenticate, "Bearer");
        if (allow)
            reply_.set(http::field::allow, allow);
        reply_.keep_alive(keepAlive());
        reply_.body() = std::move(body);
        reply_.prepare_payload();
        server_.metrics.bytesSent(reply_.body().size());
        lowest().expires_after(server_.options.writeTimeout);
        server_.logRequest(address_, note, status);
        http::async_write(stream_, reply_,
                          [self = this->shared_from_this()](beast::error_code ec, size_t) {
                              if (ec) {
                                  self->notDelivered(ec);
                                  return self->lowest().close();
                              }
                              self->nextRequest();
                          });
    }

    // The log line goes out with the last write of a reply, so that it is
    // there once the client has its answer; a failed write adds a line.
    void notDelivered(beast::error_code ec)
    {
        server_.logLine(address_ + " [" + std::to_string(note.id) +
                        "] the reply could not be written: " + ec.message());
    }

    void nextRequest()
    {
        if (keepAlive())
            return awaitRequest();
        close();
    }

    // A close after a reply. TLS says so first; over plain TCP the unread rest
    // of a refused request is drained, so that the client reads the reply
    // before the connection resets.
    void close()
    {
        idle_ = true;
        lowest().expires_after(std::chrono::seconds(2));
        if constexpr (kTls) {
            stream_.async_shutdown(
                [self = this->shared_from_this()](beast::error_code) { self->lowest().close(); });
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            drain();
        }
    }

    void drain()
    {
        lowest().async_read_some(net::buffer(drain_),
                                 [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                     if (ec)
                                         return self->lowest().close();
                                     self->drain();
                                 });
    }

    // Called on a database thread: starts a write on the strand and waits for it,
    // under the write deadline. Returns the error, if any.
    template <class Start> beast::error_code waitForWrite(Start start)
    {
        auto done = std::make_shared<std::promise<beast::error_code>>();
        auto result = done->get_future();
        net::dispatch(stream_.get_executor(), [this, start = std::move(start), done]() mutable {
            lowest().expires_after(server_.options.writeTimeout);
            start([done](beast::error_code ec, size_t) { done->set_value(ec); });
        });
        return result.get();
    }
};

void Server::accept()
{
    acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || stopping)
            return;
        if (ec) {
            // Out of descriptors, most likely: wait for connections to end.
            logLine("cannot accept a connection: " + ec.message());
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](beast::error_code e) {
                if (!e)
                    accept();
            });
            return;
        }
        open(std::move(socket));
        accept();
    });
}

void Server::open(tcp::socket socket)
{
    beast::error_code ec;
    // Replies go out in several writes: Nagle's algorithm would hold each one
    // back until the client acknowledges the previous.
    socket.set_option(tcp::no_delay(true), ec);
    const auto peer = socket.remote_endpoint(ec);
    if (ec)
        return;
    std::string address = peer.address().to_string();
    if (!admit(address))
        return;
    auto start = [this](auto session) {
        track(session);
        session->start();
    };
    if (tls)
        start(std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            *this, beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls),
            std::move(address)));
    else
        start(std::make_shared<Session<beast::tcp_stream>>(
            *this, beast::tcp_stream(std::move(socket)), std::move(address)));
}

void Server::stopAll()
{
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    std::vector<std::shared_ptr<Connection>> open;
    {
        std::lock_guard lock(connectionsMutex);
        for (auto& entry : connections)
            if (auto c = entry.second.lock())
                open.push_back(std::move(c));
    }
    for (auto& c : open)
        c->closeIfIdle();
}

void Server::handle(const std::shared_ptr<Connection>& c,
                    const http::request<http::string_body>& req)
{
    const std::string& path = c->note.path;
    const bool get = req.method() == http::verb::get;
    if (path == "/health") {
        if (!get)
            return c->reply(405, errorBody("/health answers GET only"), "GET");
        return health(c);
    }
    if (path == "/metrics")
        return serveMetrics(*c, req);
    if (!options.token.empty() &&
        !sameSecret(req[http::field::authorization], "Bearer " + options.token)) {
        const bool none = req[http::field::authorization].empty();
        c->note.detail = none ? "no token" : "wrong token";
        return c->reply(401, errorBody(none ? "this server needs a bearer token"
                                            : "the bearer token is not accepted"));
    }
    constexpr std::string_view kPrefix = "/rpc/";
    const std::string name = path.starts_with(kPrefix) ? path.substr(kPrefix.size()) : "";
    if (name.empty() || name.find('/') != std::string::npos)
        return c->reply(404, errorBody("nothing at " + path));
    if (name != kObjectName)
        return c->reply(404, errorBody("no server object " + name));
    if (get)
        return describeObject(*c, name);
    if (req.method() == http::verb::post)
        return callObject(c, name, req.body());
    c->reply(405, errorBody("a server object answers GET and POST only"), "GET, POST");
}

void Server::describeObject(Connection& c, const std::string& name)
{
    std::string body = "{\"object\":" + jsonString(name) + ",\"methods\":[";
    bool first = true;
    for (const auto& entry : methods()) {
        body += (first ? "" : ",") + jsonString(entry.first);
        first = false;
    }
    c.reply(200, body + "]}");
}

void Server::callObject(const std::shared_ptr<Connection>& c, const std::string& name,
                        const std::string& body)
{
    RpcRequest request;
    c->note.call = "unknown";
    metrics.callStarted();
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

const std::map<std::string, Method, std::less<>>& methods()
{
    static const std::map<std::string, Method, std::less<>> table = {
        {"GetPrincipal", &Server::getPrincipal}};
    return table;
}

void Server::requireStrings(const RpcRequest& r, std::initializer_list<const char*> names)
{
    if (r.params.size() != names.size())
        throw RpcError{kInvalidParams, "Invalid params: " + r.method + " takes " +
                                           std::to_string(names.size()) + " parameters, got " +
                                           std::to_string(r.params.size())};
    size_t i = 0;
    for (const char* n : names) {
        if (!r.params[i])
            throw RpcError{kInvalidParams, "Invalid params: parameter " + std::to_string(i + 1) +
                                               " (" + n + ") must be a string, got " +
                                               r.paramKinds[i]};
        ++i;
    }
}

void Server::getPrincipal(const std::shared_ptr<Connection>& c, const RpcRequest& r)
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
    onDatabaseThread([this, c, head = std::move(head), selector = std::move(selector), day] {
        streamPrincipal(*c, head, selector, day);
    });
}

// On a database thread. The reply is produced while it is sent: a day can be
// hundreds of MB. One that ends within the hold-back goes out whole, with its
// length.
void Server::streamPrincipal(Connection& c, const std::string& head, const BranchSelector& selector,
                             const std::string& day)
{
    bool finishing = false;
    std::string whole; // the reply when its one piece is also its last
    size_t sent = 0;
    JsonOut out(
        [&](std::string_view piece) {
            if (finishing && sent == 0) {
                whole.assign(piece);
                return;
            }
            if (!c.sendPiece(piece))
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
        finishing = true;
        out.finish();
        c.note.detail += " rows=" + std::to_string(counts.rows[0]) + "/" +
                         std::to_string(counts.rows[1]) + "/" + std::to_string(counts.rows[2]) +
                         "/" + std::to_string(counts.rows[3]);
        if (sent == 0) {
            c.note.detail += " bytes=" + std::to_string(whole.size());
            return c.reply(200, std::move(whole));
        }
        c.note.detail += " bytes=" + std::to_string(sent);
        c.endPieces();
    } catch (const ClientGone&) {
        if (lease)
            lease->discard();
        c.note.detail += " client went away after " + std::to_string(sent) + " bytes";
        c.note.outcome = ServerMetrics::Outcome::BrokenOff;
        c.breakOff();
    } catch (const std::exception& e) {
        if (lease)
            lease->discard();
        metrics.failed(e);
        c.note.outcome =
            sent == 0 ? ServerMetrics::Outcome::Refused : ServerMetrics::Outcome::BrokenOff;
        if (sent == 0) {
            // Nothing has left yet: the module gets the failure as ok:false.
            c.note.detail += " refused: " + logDetail(e);
            return c.reply(200, head + failureEnvelope(operatorText(e, c.note.id)) + "}");
        }
        // Part of the reply is gone: breaking the connection is the only way
        // left to tell the client that it is incomplete.
        c.note.detail += " broken off after " + std::to_string(sent) + " bytes: " + logDetail(e);
        c.breakOff();
    }
}

void Server::health(const std::shared_ptr<Connection>& c)
{
    onDatabaseThread([this, c] {
        std::optional<StorePool::Lease> lease;
        try {
            lease.emplace(pool.acquire());
            (*lease)->query("SELECT COUNT(*) FROM FILIAL", {}, [](const Row&) {});
            c->reply(200, R"({"ok":true})");
        } catch (const std::exception& e) {
            if (lease)
                lease->discard();
            // The query is trivial: whatever fails, the database is what fails.
            const DatabaseError unavailable(DatabaseError::Kind::Unavailable, e.what());
            const auto* db = dynamic_cast<const DatabaseError*>(&e);
            metrics.failed(db ? *db : unavailable);
            c->note.detail = "unhealthy: " + logDetail(e);
            c->reply(503, failureEnvelope(operatorText(db ? *db : unavailable, c->note.id)));
        }
    });
}

// The figures are no data of the sales: a peer on this machine reads them
// without a token, any other needs the metrics token (or the server's).
void Server::serveMetrics(Connection& c, const http::request<http::string_body>& req)
{
    if (req.method() != http::verb::get)
        return c.reply(405, errorBody("/metrics answers GET only"), "GET");
    const std::string_view given = req[http::field::authorization];
    const auto bears = [given](const std::string& token) {
        return !token.empty() && sameSecret(given, "Bearer " + token);
    };
    if (!isLoopback(c.peer()) && !bears(options.metricsToken) && !bears(options.token)) {
        c.note.detail = given.empty() ? "no token" : "wrong token";
        return c.reply(401, errorBody("/metrics needs a bearer token from another machine"));
    }
    c.note.contentType = ServerMetrics::kContentType;
    c.reply(200, metrics.text());
}

// The store's errors never hold a password; the database argument as given
// is masked all the same, should a driver repeat it.
std::string Server::logDetail(const std::exception& e) const
{
    std::string detail = e.what();
    const std::string masked = redactUri(options.db);
    if (masked != options.db)
        for (size_t at; (at = detail.find(options.db)) != std::string::npos;)
            detail.replace(at, options.db.size(), masked);
    return detail;
}

} // namespace

struct AppServer::Impl : Server
{
    using Server::Server;
};

AppServer::AppServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

AppServer::~AppServer() = default;

void AppServer::bind()
{
    Server& s = *impl_;
    const std::string where = s.options.listen + ":" + std::to_string(s.options.port);
    if (s.options.port < 0 || s.options.port > 65535)
        throw Error("port " + std::to_string(s.options.port) + " is not between 0 and 65535");
    beast::error_code ec;
    tcp::resolver resolver(s.ioc);
    const auto found =
        resolver.resolve(s.options.listen, std::to_string(s.options.port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty())
        throw Error("cannot listen on " + where + ": " + (ec ? ec.message() : "no such address"));
    const tcp::endpoint endpoint = found.begin()->endpoint();
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        s.acceptor.bind(endpoint, ec);
    if (!ec)
        s.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        s.acceptor.close();
        throw Error("cannot listen on " + where + " (" + ec.message() + ")");
    }
    s.boundPort = s.acceptor.local_endpoint().port();
}

int AppServer::port() const
{
    return impl_->boundPort;
}

void AppServer::run()
{
    Server& s = *impl_;
    net::dispatch(s.acceptStrand, [&s] { s.accept(); });
    std::vector<std::thread> more;
    for (int i = 1; i < s.options.ioThreads; ++i)
        more.emplace_back([&s] { s.ioc.run(); });
    s.ioc.run();
    for (auto& t : more)
        t.join();
    s.database.join();
}

void AppServer::stop()
{
    Server& s = *impl_;
    s.stopping = true;
    net::post(s.acceptStrand, [&s] { s.stopAll(); });
}

} // namespace dotz::appserver
