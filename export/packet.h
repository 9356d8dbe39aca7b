#pragma once
// A data packet as it travels from the application server: the JSON text of one
// self-describing table, kept undecoded until a table loads it.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace dotz {

class Packet {
public:
    // Bytes that must be readable after the JSON text so that the decoder can
    // read it in place (simdjson's padding).
    static constexpr size_t kPadding = 64;

    Packet() = default;
    // Takes a packet's JSON text on its own.
    static Packet fromJson(std::string json);
    // A packet that lies inside a larger buffer (for example a whole server reply);
    // `buffer` must hold at least kPadding bytes after the end of `json`, or the
    // loader copies it.
    static Packet inBuffer(std::shared_ptr<const std::string> buffer, std::string_view json);

    std::string_view json() const { return json_; }
    // Bytes readable from json().data() on, padding included.
    size_t readable() const;
    bool isNull() const { return !buffer_; }

private:
    std::shared_ptr<const std::string> buffer_;
    std::string_view json_;
};

} // namespace dotz
