#pragma once
// Reading what the server answers: a call's JSON-RPC reply, the result object
// in it, an object's description, and the limits a reply is held to.
#include "rpc_value.h"

#include "base/error.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// A failed opening or call. what() is for the operator (Brazilian Portuguese,
// UTF-8): it names host, port and object, then what failed, with the HTTP status
// where there is one. The library's words, or a JSON-RPC error's code and the
// server's message, are its detail().
class ConnectionError : public Error
{
  public:
    using Error::Error;
};

// A failed call that another server of the same store may not meet: no
// connection, HTTP 429, 500 or 502 to 504, a reply broken off or cut by the
// call's limits.
// reason() is what it met, without the call's prefix.
class ServerUnavailable : public ConnectionError
{
  public:
    ServerUnavailable(const std::string& what, std::string reason, std::string detail = {})
        : ConnectionError(what, std::move(detail)), reason_(std::move(reason))
    {
    }
    const std::string& reason() const { return reason_; }

  private:
    std::string reason_;
};

// Takes the objects of a reply's result.data list, by index, as they arrive.
using PacketSink = std::function<void(size_t index, Packet packet)>;

// The largest reply a call takes unless told otherwise: a guard far above any
// real day, which is bounded by the call's time, its minimum rate and the disk.
constexpr std::uint64_t kDefaultMaxReplyBytes = std::uint64_t{1} << 40;
// "1024 GiB", "64 MiB", "1000 bytes"
std::string replyLimitText(std::uint64_t maxBytes);
// The refusal of a reply past `maxBytes`.
std::string replyTooLarge(std::uint64_t maxBytes);

// "resposta inválida: <what>"
std::string invalidReply(const std::string& what);

// Reads the body of the reply to the call with this id: gives the JSON-RPC result,
// its objects left as undecoded packets that share `reply`. `reply` holds the body
// (`length` bytes) and Packet::kPadding more. Throws ConnectionError, its text
// starting with `failure` ("Falha na chamada de ... (objeto X)"), when the reply
// is not a JSON-RPC 2.0 response to this call, nests deeper than kMaxReplyDepth,
// or carries a JSON-RPC error (said in our words, for the call of `method`; the
// server's own go to the error's detail). The call uses it; so does the reply
// fuzz target. The objects that start at the offsets `handedOver` of `reply` are
// read as null packets (their bytes went elsewhere while the reply arrived).
constexpr int kMaxReplyDepth = 16;
Variant readReply(std::shared_ptr<const std::string> reply, size_t length, long long id,
                  const std::string& failure, const std::vector<size_t>& handedOver = {},
                  std::string_view method = {});

// A result object that came as a packet, not from a call: read into its members
// as readReply reads a call's result. Throws ConnectionError, its text starting
// with `failure`, when it is not one JSON object.
Variant readResultObject(const Packet& packet, const std::string& failure);

// The methods an object's description lists ({"object":"<name>","methods":[...]}).
// Throws ConnectionError saying what is wrong (without the opening's prefix), also
// when it describes another object than `object`.
std::vector<std::string> readObjectDescription(const std::string& body, const std::string& object);

} // namespace dotz
