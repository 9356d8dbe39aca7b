#pragma once
// The module's connection to the application server, free of Qt so that the
// headless command can use it. Transport: JSON-RPC 2.0 over HTTP/1.1 on the path
// /rpc/<ServerName>. Not thread-safe: one connection belongs to one thread.
#include "export/day.h"
#include "export/error.h"
#include "export/packet.h"
#include "export/run.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dotz {

// A failed opening or call. what() is for the operator (Brazilian Portuguese,
// UTF-8): it names host, port and object, then what failed, with the HTTP status,
// the JSON-RPC error or the technical detail where there is one.
class ConnectionError : public Error
{
  public:
    using Error::Error;
};

// A value passed to or returned by a late-bound call.
// Texts are UTF-8 (as on the wire); a packet is the undecoded JSON text of any JSON
// object (the data packets of a reply, and the result envelope itself); a date goes
// on the wire as "YYYY-MM-DD" and comes back as a text.
class Variant
{
  public:
    enum class Kind { Null, Boolean, Number, Text, Date, Array, Packet };
    using Array = std::vector<Variant>;

    Variant() = default;
    Variant(std::nullptr_t) {}
    Variant(bool value) : value_(value) {}
    Variant(int value) : value_(static_cast<double>(value)) {}
    Variant(double value) : value_(value) {}
    Variant(const char* text) : value_(std::string(text)) {}
    Variant(std::string text) : value_(std::move(text)) {}
    Variant(Day day) : value_(day) {}
    Variant(Array items) : value_(std::make_shared<const Array>(std::move(items))) {}
    Variant(Packet packet) : value_(PacketValue{std::move(packet), nullptr}) {}

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    bool isNull() const { return kind() == Kind::Null; }

    // Each accessor throws dotz::Error naming the expected and the actual kind.
    bool asBoolean() const;
    double asNumber() const;
    const std::string& asText() const;
    Day asDate() const;
    const Array& asArray() const;
    const Packet& asPacket() const;

    static const char* kindName(Kind kind);

  private:
    friend Variant readReply(std::shared_ptr<const std::string>, size_t, long long,
                             const std::string&, const std::vector<size_t>&);
    friend Variant CheckServerResult(const Variant&, bool, int,
                                     const std::function<void(const std::string&)>&);
    // The result object of a call keeps its members as read in the same pass, so
    // that the envelope check does not read a reply of hundreds of MB a second
    // time, and the call it answered, for the envelope check's errors.
    using Members = std::vector<std::pair<std::string, Variant>>;
    struct Result
    {
        Members members;
        std::string call; // "Falha na chamada de M ao servidor ... (objeto X)"
    };
    struct PacketValue
    {
        Packet packet;
        std::shared_ptr<const Result> result;
    };
    // Alternatives in the order of Kind.
    std::variant<std::monostate, bool, double, std::string, Day, std::shared_ptr<const Array>,
                 PacketValue>
        value_;
};

// Takes the objects of a reply's result.data list, by index, as they arrive.
using PacketSink = std::function<void(size_t index, Packet packet)>;

// The largest reply a call takes: past it the call fails, whatever the server says.
constexpr size_t kMaxReplyBytes = size_t{4} << 30;

class ServerConnection
{
  public:
    using BeforeConnectHandler = std::function<void(ServerConnection&)>;
    // Shows a failure's text (UTF-8) to the operator; the caller aborts afterwards.
    using ErrorReporter = std::function<void(const std::string&)>;

    static constexpr int kDefaultPort = 8211;

    ServerConnection();
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Name of the server object, e.g. "Krt52410.rdmExportaDotz"; the path is /rpc/<name>.
    void setServerName(std::string name);
    const std::string& serverName() const { return serverName_; }

    // Runs before every opening (also an opening started by a call on a closed
    // connection); it usually sets host and port. What it throws fails the opening.
    void setBeforeConnect(BeforeConnectHandler handler);

    // false: a failed opening or call is shown through the error reporter, then
    // dotz::Abort is thrown (when no reporter is set, the ConnectionError is thrown).
    // true: the ConnectionError is thrown and nothing is shown.
    void setRaiseErrors(bool raise) { raiseErrors_ = raise; }
    bool raiseErrors() const { return raiseErrors_; }
    void setErrorReporter(ErrorReporter reporter);

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

    void setConnectTimeout(std::chrono::milliseconds timeout) { connectTimeout_ = timeout; }
    // Longest wait for the next bytes of a reply (not for the whole reply).
    void setReadTimeout(std::chrono::milliseconds timeout) { readTimeout_ = timeout; }
    std::chrono::milliseconds connectTimeout() const { return connectTimeout_; }
    std::chrono::milliseconds readTimeout() const { return readTimeout_; }

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
    // arguments. Opens a closed connection first. The JSON-RPC result comes back as
    // a Variant; JSON objects in it stay undecoded packets that reference the one
    // buffer holding the reply.
    Variant call(std::string_view method, const std::vector<Variant>& params);
    // The same, but the first `count` objects of the result's "data" list go to
    // `early` as soon as each is in, on this thread and before the reply is checked
    // (a failed call still fails afterwards); in the result they are null packets.
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
        std::function<void(size_t length)> expect;
        std::function<bool(const char* data, size_t size)> take;
        std::function<std::string()> refused;
    };
    struct Posted
    {
        long long id;
        std::string failure; // "Falha na chamada de M ao servidor ..."
    };
    // Sends a call and passes its reply's body on; fails on a transport error or
    // an HTTP status other than 200.
    Posted post(std::string_view method, const std::vector<Variant>& params,
                const Receiver& receive);
    [[noreturn]] void fail(const std::string& message, const std::string& detail = {}) const;
    std::string where() const; // "servidor de aplicação host:port (objeto X)"
    std::string transportFailure(int error) const;
    void openNow();

    std::string serverName_;
    BeforeConnectHandler beforeConnect_;
    ErrorReporter reporter_;
    bool raiseErrors_ = false;
    std::string host_ = "127.0.0.1";
    int port_ = kDefaultPort;
    std::string token_;
    bool tls_ = false;
    std::string caFile_;
    std::chrono::milliseconds connectTimeout_{5000};
    std::chrono::milliseconds readTimeout_{60000};
    bool connected_ = false;
    std::vector<std::string> methods_;
    std::unique_ptr<Http> http_; // replaced under httpLock_, which cancel() takes
    std::mutex httpLock_;
    std::atomic<bool> cancelled_{false};
    long long nextId_ = 1;
};

// Reads the body of the reply to the call with this id: gives the JSON-RPC result,
// its objects left as undecoded packets that share `reply`. `reply` holds the body
// (`length` bytes) and Packet::kPadding more. Throws ConnectionError, its text
// starting with `failure` ("Falha na chamada de ... (objeto X)"), when the reply
// is not a JSON-RPC 2.0 response to this call, nests deeper than kMaxReplyDepth,
// or carries a JSON-RPC error. The call uses it; so does the reply fuzz target.
// The objects that start at the offsets `handedOver` of `reply` are read as null
// packets (their bytes went elsewhere while the reply arrived).
constexpr int kMaxReplyDepth = 16;
Variant readReply(std::shared_ptr<const std::string> reply, size_t length, long long id,
                  const std::string& failure, const std::vector<size_t>& handedOver = {});

// Reads a result envelope: {"ok":true,"data":X} gives X (a packet array stays an
// array of undecoded packets); {"ok":false,"message":M} shows M through showError
// and then throws dotz::Abort when abort is true, or returns a null Variant when it
// is false. A result that is no envelope throws ConnectionError saying what is
// wrong (in Portuguese, naming the call when the result came from one).
// n is kept for the toolkit's call form; callers pass 0.
Variant CheckServerResult(const Variant& result, bool abort, int n,
                          const ServerConnection::ErrorReporter& showError);

// The four packets of a day from GetPrincipal's checked result, in slot order;
// ConnectionError (in Portuguese) when the result is not an array of four packets.
DayPackets dayPackets(const Variant& payload, Day day);

} // namespace dotz
