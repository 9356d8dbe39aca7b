#pragma once
// The replies' JSON writer: every JSON text the server sends leaves through it.
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

namespace dotz::appserver {

// Length of the well-formed UTF-8 sequence that starts at s[i] (1 for ASCII), or
// 0 when the bytes there are not one (overlong forms and surrogates included).
size_t utf8SequenceLength(std::string_view s, size_t i);

// Buffers JSON output and hands it on in pieces of about flushAt bytes, so that a
// day of millions of rows is never held whole. The first piece waits for
// firstFlushAt bytes: until then a failure can still replace the whole reply.
class JsonOut
{
  public:
    using Flush = std::function<void(std::string_view)>;
    JsonOut(Flush flush, size_t flushAt = 256 * 1024, size_t firstFlushAt = 0);
    ~JsonOut();
    JsonOut(const JsonOut&) = delete;
    JsonOut& operator=(const JsonOut&) = delete;

    void raw(std::string_view json); // a complete JSON value or punctuation
    // Writes a JSON string; returns its length in characters. Throws dotz::Error
    // when the text is not valid UTF-8.
    size_t string(std::string_view utf8);
    void number(double value);
    void null();
    // What is held since the last piece was handed on: a mark taken with size()
    // and read back with since() before the next maybeFlush().
    size_t size() const;
    std::string_view since(size_t mark) const;
    void maybeFlush();
    void finish();
    // Whether anything has been handed on (after that the reply can no longer change).
    bool flushed() const { return flushed_; }
    void discard();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Flush flush_;
    size_t flushAt_;
    size_t firstFlushAt_;
    bool flushed_ = false;
};

} // namespace dotz::appserver
