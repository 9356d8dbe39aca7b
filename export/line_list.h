#pragma once
// The line list: the lines of the file being built, each ended by CR LF, in
// Windows-1252. Lines are written in place: reserve room for one, fill it,
// commit its end.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace dotz {

class LineList
{
  public:
    char* reserveLine(size_t maxBytes)
    {
        if (size_ + maxBytes + 2 > capacity_)
            grow(size_ + maxBytes + 2);
        return buffer_.get() + size_;
    }
    void commitLine(char* end)
    {
        *end++ = '\r';
        *end++ = '\n';
        size_ = static_cast<size_t>(end - buffer_.get());
        ++count_;
    }
    std::string_view text() const { return {buffer_.get(), size_}; }
    size_t count() const { return count_; }
    bool empty() const { return count_ == 0; }
    void clear()
    {
        size_ = 0;
        count_ = 0;
    }

  private:
    void grow(size_t atLeast)
    {
        const size_t capacity = std::max(atLeast, capacity_ * 2);
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_)
            std::memcpy(bigger.get(), buffer_.get(), size_);
        buffer_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> buffer_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t count_ = 0;
};

} // namespace dotz
