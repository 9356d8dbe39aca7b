#pragma once
// The module's connection to the application server, free of Qt so that the
// headless command can use it. Transport: JSON-RPC 2.0 over HTTP/1.1 on the path
// wire::kPathPrefix + <ServerName>. Not thread-safe: one connection belongs to one thread.
#include "rpc_reply.h"

#include "base/wire_contract.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

class ServerConnection
{
  public:
    using BeforeConnectHandler = std::function<void(ServerConnection&)>;

    ServerConnection();
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Name of the server object, e.g. wire::kObjectName; the path is wire::kPathPrefix + name.
    void setServerName(std::string name);
    const std::string& serverName() const { return serverName_; }

    // Runs before every opening (also an opening started by a call on a closed
    // connection); it usually sets host and port. What it throws fails the opening.
    void setBeforeConnect(BeforeConnectHandler handler);

    // A host name or address, set unchanged; changing it closes an open connection.
    void SetHost(std::string host);
    const std::string& host() const { return host_; }
    // 1 to 65535; anything else throws dotz::Error. Changing it closes an open connection.
    void setPort(int port);
    int port() const { return port_; }
    // Sent as "Authorization: Bearer <token>" when not empty.
    void setToken(std::string token);
    // HTTPS (TLS 1.2 or newer) instead of HTTP. The server's certificate is verified,
    // host name included, against caFile (PEM) or, when it is empty, the system's
    // store. Changing either closes an open connection.
    void setTls(bool on, std::string caFile = {});
    bool tls() const { return tls_; }
    const std::string& caFile() const { return caFile_; }

    // A call ends, as a broken connection does, when the whole exchange (connecting,
    // the request, the reply's status line, headers and body) takes longer than
    // callTimeout, or when it moves fewer than minRate bytes a second for a whole
    // window (0 turns that off): a peer that keeps a call alive with a byte now
    // and then is thus cut off. A reply longer than maxReplyBytes is refused.
    struct CallLimits
    {
        std::uint64_t minRate = 8 * 1024;
        std::chrono::milliseconds window = std::chrono::seconds(60);
        std::chrono::milliseconds callTimeout = std::chrono::hours(1);
        std::uint64_t maxReplyBytes = kDefaultMaxReplyBytes;
    };
    void setCallLimits(const CallLimits& limits) { limits_ = limits; }
    const CallLimits& callLimits() const { return limits_; }

    // Told, on the calling thread, the bytes of the call's reply body in so far,
    // as they arrive: a front end's progress, also where its thread is busy
    // receiving. An empty hook (the default) is none.
    using ReceivedHook = std::function<void(std::uint64_t bytes)>;
    void setReceivedHook(ReceivedHook hook) { received_ = std::move(hook); }

    // The open state. Setting true on a closed connection fires BeforeConnect, then
    // asks the server for the object (GET /rpc/<ServerName>); a refused connection,
    // a 401 or a 404 fails the opening and leaves it closed. Setting false closes.
    void setConnected(bool open);
    bool connected() const { return connected_; }
    void open() { setConnected(true); }
    void close() { setConnected(false); }
    // Methods that the server object listed when the connection opened.
    const std::vector<std::string>& methods() const { return methods_; }

    // Late-bound call of a method of the server object, by name, with positional
    // arguments. Opens a closed connection first. A failed opening or call throws
    // ConnectionError; nothing is shown here. The JSON-RPC result comes back as
    // a Variant; JSON objects in it stay undecoded packets that reference the one
    // buffer holding the reply.
    Variant call(std::string_view method, const std::vector<Variant>& params);
    // The same, but the first `count` objects of the result's "data" list go to
    // `early` on this thread as soon as their first row is in, as packets still
    // arriving that another thread can load while the rest comes (or once
    // complete, when they hold no rows), before the reply is checked (a failed call
    // still fails afterwards); in the result they are null packets.
    Variant call(std::string_view method, const std::vector<Variant>& params,
                 const PacketSink& early, size_t count);

    // The one member another thread may call: the call in progress, and every
    // later one, fails as a broken connection does. For a run asked to stop.
    void cancel();

  private:
    struct Http;
    // How a call takes its reply's body: the announced length, then the bytes as
    // they arrive (false stops the call, refused() says why).
    struct Receiver
    {
        std::function<void(std::uint64_t length)> expect;
        std::function<bool(const char* data, size_t size)> take;
        std::function<std::string()> refused;
    };
    struct Posted
    {
        long long id;
        std::string method;
        std::string failure; // "Falha na chamada de M ao servidor ..."
    };
    // Sends a call and passes its reply's body on; fails on a transport error or
    // an HTTP status other than 200.
    Posted post(std::string_view method, const std::vector<Variant>& params,
                const Receiver& receive);
    [[noreturn]] void fail(const std::string& message, const std::string& detail = {}) const;
    // `failure` + ": " + `why`; ServerUnavailable when another server may answer.
    [[noreturn]] void fail(const std::string& failure, const std::string& why,
                           const std::string& detail, bool anotherMayAnswer) const;
    std::string where() const; // "servidor de aplicação host:port (objeto X)"
    void openNow();
    // The sockets of the call in progress, which cancel() shuts down.
    int openSocket(int family, int type, int protocol);
    void closeSocket(int socket);

    std::string serverName_;
    BeforeConnectHandler beforeConnect_;
    std::string host_ = "127.0.0.1";
    int port_ = wire::kDefaultPort;
    std::string token_;
    bool tls_ = false;
    std::string caFile_;
    CallLimits limits_;
    ReceivedHook received_;
    bool connected_ = false;
    std::vector<std::string> methods_;
    std::unique_ptr<Http> http_;
    std::mutex socketsLock_;
    std::vector<int> sockets_; // under socketsLock_
    std::atomic<bool> cancelled_{false};
    long long nextId_ = 1;
};

} // namespace dotz
