#pragma once
// A data packet as it travels from the application server: the JSON text of one
// self-describing table, kept undecoded until a table loads it.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dotz {

class Packet
{
  public:
    // Bytes that must be readable after the JSON text so that the decoder can
    // read it in place (simdjson's padding).
    static constexpr size_t kPadding = 64;

    // What holds a packet's bytes when it can give them back while they are read.
    class Memory
    {
      public:
        virtual ~Memory() = default;
        // The one reader of the packet is done with the bytes before `at`.
        virtual void consumed(const char* at) const = 0;
    };

    // A packet handed over while its rows still arrive. Its bytes stay where they
    // are as more come; the row marks tell how far whole rows are in, and at
    // least kPadding bytes past the last mark are in too.
    class Arrival
    {
      public:
        virtual ~Arrival() = default;
        struct Progress
        {
            const char* data = nullptr; // the packet's first byte
            std::vector<size_t> starts; // the row marks in so far
            bool complete = false;      // packet() then holds it whole
            bool broken = false;        // the reply ended before the packet did
        };
        // Waits until more than `marks` row marks are in, or the packet is complete
        // or broken.
        virtual Progress wait(size_t marks) const = 0;
        // The whole packet, once complete.
        virtual Packet packet() const = 0;
        // The one reader of the packet is done with its bytes before `offset`;
        // true when they are given back (packet() then reads them as zeros).
        // The receiver may hold back while the reader is far behind.
        virtual bool consumed(size_t /*offset*/) const { return false; }
        // The reader reads no further while the packet arrives (it is done, or
        // waits for the whole): the receiver must not wait for it.
        virtual void abandon() const {}
    };

    Packet() = default;
    // Takes a packet's JSON text on its own.
    static Packet fromJson(std::string json);
    // A packet that lies inside a larger buffer (for example a whole server reply);
    // `buffer` must hold at least kPadding bytes after the end of `json`, or the
    // loader copies it.
    static Packet inBuffer(std::shared_ptr<const std::string> buffer, std::string_view json);
    // A packet whose bytes `owner` keeps alive; `readable` bytes from json.data() on
    // can be read, padding included.
    static Packet inMemory(std::shared_ptr<const void> owner, std::string_view json,
                           size_t readable);
    static Packet inMemory(std::shared_ptr<const Memory> owner, std::string_view json,
                           size_t readable);
    // A packet still arriving: json() is empty, arrival() tells how far it is.
    static Packet arriving(std::shared_ptr<const Arrival> arrival);
    const Arrival* arrival() const { return arrival_; }

    std::string_view json() const { return json_; }
    // Bytes readable from json().data() on, padding included.
    size_t readable() const { return readable_; }
    bool isNull() const { return !owner_; }
    // A reader that goes forward only says which bytes it no longer needs; they
    // may read back as zeros afterwards.
    void consumed(const char* at) const
    {
        if (memory_)
            memory_->consumed(at);
    }

    // Where the rows of the packet's "rows" list lie, as the receiver saw them go
    // by: offsets in json() of the first row and of a row every few MiB after it,
    // and of the list's closing bracket. A hint that lets a large packet load a
    // piece at a time; the loader checks it before it relies on it.
    struct RowMarks
    {
        std::vector<size_t> starts;
        size_t listEnd = 0;
    };
    const RowMarks& rowMarks() const { return rowMarks_; }
    void setRowMarks(RowMarks marks) { rowMarks_ = std::move(marks); }

  private:
    std::shared_ptr<const void> owner_;
    const Memory* memory_ = nullptr;   // owner_, when it is one
    const Arrival* arrival_ = nullptr; // owner_, when it is one
    std::string_view json_;
    size_t readable_ = 0;
    RowMarks rowMarks_;
};

} // namespace dotz
