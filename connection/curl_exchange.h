#pragma once
// Every libcurl call of the server connection: the handle of one server (its
// address, TLS, headers and sockets), one exchange's limits, the callbacks that
// take the reply, and what it met, in the operator's words.
#include "server_text.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace dotz::curl {

inline constexpr const char* kCancelled = "a chamada foi interrompida a pedido";
// Large pieces: a day's reply is hundreds of MB, and each piece costs a call.
inline constexpr long kReceiveBuffer = 512 * 1024;
// A server that takes longer to accept is down or unreachable.
inline constexpr long kConnectTimeoutMs = 5000;

// How an exchange takes its reply's body: the announced length, then the bytes
// as they arrive (false stops the exchange, refused() says why).
struct Receiver
{
    std::function<void(std::uint64_t length)> expect;
    std::function<bool(const char* data, size_t size)> take;
    std::function<std::string()> refused;
};

// What a finished exchange met: nothing when it brought a whole 200 reply.
struct Outcome
{
    long status = 0;
    std::string why;     // for the operator, in Portuguese
    std::string detail;  // the library's own words
    bool broken = false; // the exchange did not end as HTTP says
    bool anotherMayAnswer = false;
};

// The call's limits: its whole time, the least rate over a window, and the
// reply's size.
struct Limits
{
    std::uint64_t minRate;
    std::chrono::milliseconds window;
    std::chrono::milliseconds callTimeout;
    std::uint64_t maxReplyBytes;
};

// The server a handle talks to.
struct Target
{
    std::string host; // as given: a name, or an address (IPv6 without brackets)
    int port;
    std::string path;
    bool tls;
    std::string caFile; // empty: the system's store
    std::string token;  // sent as a bearer token when not empty
    std::string object; // the server object, as the operator's texts name it
};

// The sockets a handle opens, through its owner, so that the owner can shut
// them down from another thread.
struct Sockets
{
    std::function<int(int family, int type, int protocol)> open;
    std::function<void(int socket)> close;
};

// One libcurl handle, kept alive between exchanges with one server.
class Handle
{
  public:
    enum class Setup { Ready, NoMemory, BadHost };
    // cancelled: set from any thread, it stops the exchange in progress.
    Handle(const std::atomic<bool>& cancelled, Sockets sockets);
    ~Handle();
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    // Sets the handle up for `target`; its host goes through libcurl's parser,
    // so that a name from the settings cannot carry a path or credentials.
    Setup setUp(Target target);
    Outcome get(const Receiver& receive, const Limits& limits);
    // `body` must outlive the exchange.
    Outcome post(const std::string& body, const Receiver& receive, const Limits& limits);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

void initialiseOnce();

} // namespace dotz::curl
