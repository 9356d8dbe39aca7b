#include "json_out.h"

#include "base/error.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace dotz::appserver {

size_t utf8SequenceLength(std::string_view s, size_t i)
{
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80)
        return 1;
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
    return n;
}

// A growing byte buffer that hands out room to write into. (rapidjson's
// StringBuffer does pointer arithmetic on null before its first allocation.)
struct JsonOut::Impl
{
    std::unique_ptr<char[]> bytes;
    size_t used = 0;
    size_t capacity = 0;

    char* Push(size_t n)
    {
        if (n > capacity - used) {
            const size_t grown = std::max(used + n, std::max<size_t>(capacity * 2, 64 * 1024));
            auto larger = std::make_unique_for_overwrite<char[]>(grown);
            if (used)
                std::memcpy(larger.get(), bytes.get(), used);
            bytes = std::move(larger);
            capacity = grown;
        }
        char* p = bytes.get() + used;
        used += n;
        return p;
    }
    void Put(char c) { *Push(1) = c; }
    void Pop(size_t n) { used -= n; }
    std::string_view view() const { return {bytes.get(), used}; }
};

JsonOut::JsonOut(Flush flush, size_t flushAt, size_t firstFlushAt)
    : impl_(std::make_unique<Impl>()), flush_(std::move(flush)), flushAt_(flushAt),
      firstFlushAt_(std::max(flushAt, firstFlushAt))
{
}

JsonOut::~JsonOut() = default;

void JsonOut::raw(std::string_view json)
{
    char* p = impl_->Push(json.size());
    std::copy(json.begin(), json.end(), p);
}

namespace {

// Bytes that a JSON string cannot hold as they are, or that start a multi-byte
// UTF-8 sequence.
constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[static_cast<size_t>(c)] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
    return t;
}();

} // namespace

// Hand-written rather than the library writer's: nearly every text here is plain
// ASCII and goes out with one copy, and the character count comes for free.
size_t JsonOut::string(std::string_view s)
{
    Impl& b = *impl_;
    size_t i = 0;
    while (i < s.size() && !kSpecial[static_cast<unsigned char>(s[i])])
        ++i;
    if (i == s.size()) {
        char* p = b.Push(s.size() + 2);
        p[0] = '"';
        std::copy(s.begin(), s.end(), p + 1);
        p[s.size() + 1] = '"';
        return s.size();
    }
    size_t characters = i;
    b.Put('"');
    std::copy(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i), b.Push(i));
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        ++characters;
        if (c >= 0x80) {
            const size_t n = utf8SequenceLength(s, i);
            if (n == 0)
                throw Error("texto que n\u00e3o \u00e9 UTF-8 v\u00e1lido (byte " +
                            std::to_string(i + 1) + ")");
            std::copy(s.begin() + static_cast<std::ptrdiff_t>(i),
                      s.begin() + static_cast<std::ptrdiff_t>(i + n), b.Push(n));
            i += n;
            continue;
        }
        if (c == '"' || c == '\\') {
            b.Put('\\');
            b.Put(static_cast<char>(c));
        } else if (c < 0x20) {
            static const char* hex = "0123456789abcdef";
            char* p = b.Push(6);
            p[0] = '\\';
            p[1] = 'u';
            p[2] = '0';
            p[3] = '0';
            p[4] = hex[c >> 4];
            p[5] = hex[c & 15];
        } else {
            b.Put(static_cast<char>(c));
        }
        ++i;
    }
    b.Put('"');
    return characters;
}

void JsonOut::number(double value)
{
    if (!std::isfinite(value))
        throw Error("n\u00famero que n\u00e3o \u00e9 finito");
    // The shortest text that reads back as the same double.
    char* p = impl_->Push(32);
    const auto result = std::to_chars(p, p + 32, value);
    impl_->Pop(static_cast<size_t>(p + 32 - result.ptr));
}

void JsonOut::null()
{
    raw("null");
}

size_t JsonOut::size() const
{
    return impl_->used;
}

std::string_view JsonOut::since(size_t mark) const
{
    return impl_->view().substr(mark);
}

void JsonOut::maybeFlush()
{
    if (impl_->used >= (flushed_ ? flushAt_ : firstFlushAt_)) {
        flushed_ = true;
        flush_(impl_->view());
        impl_->used = 0;
        // What grew for the first piece is not needed again: dozens of calls
        // in progress would each keep it.
        if (impl_->capacity > 2 * flushAt_) {
            impl_->bytes.reset();
            impl_->capacity = 0;
        }
    }
}

void JsonOut::finish()
{
    if (impl_->used > 0) {
        flushed_ = true;
        flush_(impl_->view());
        impl_->used = 0;
    }
}

void JsonOut::discard()
{
    impl_->used = 0;
}

} // namespace dotz::appserver
