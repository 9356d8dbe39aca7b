#pragma once
// A value passed to or returned by a late-bound call, and the JSON-RPC request
// that carries such values to the server.
#include "base/day.h"
#include "base/packet.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dotz {

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

    // The result object of a call keeps its members as read in the same pass, so
    // that the envelope check does not read a reply of hundreds of MB a second
    // time, and the call it answered, for the envelope check's errors.
    using Members = std::vector<std::pair<std::string, Variant>>;
    struct Result
    {
        Members members;
        std::string call; // "Falha na chamada de M ao servidor ... (objeto X)"
    };
    // A result object with its members as read (readReply makes these).
    Variant(Packet packet, std::shared_ptr<const Result> read)
        : value_(PacketValue{std::move(packet), std::move(read)})
    {
    }
    // The members as read when this is such a result object; null otherwise.
    const Result* result() const
    {
        const auto* p = std::get_if<PacketValue>(&value_);
        return p ? p->result.get() : nullptr;
    }

  private:
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

// The JSON-RPC 2.0 request text of a call. Throws dotz::Error (in Portuguese)
// naming the parameter that cannot be sent.
std::string jsonRpcRequest(long long id, std::string_view method,
                           const std::vector<Variant>& params);

} // namespace dotz
