#pragma once
// A large day's files are formatted on threads of their own, a few files ahead
// of the one being written: the formatting then goes on while the writer waits
// on the disk. Files still come out one by one, in order.
#include "dotz_files.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace dotz {

class FormatAhead
{
  public:
    static constexpr size_t kAhead = 4;
    // Below this many rows a day's files are formatted where they are written: a
    // thread would cost more than it saves.
    static constexpr size_t kMinRows = 50'000;
    using Format = std::function<void(size_t file, LineList& into)>;

    // Formats files 0 .. count - 1 on up to `threads` threads (at least one, or
    // std::system_error).
    FormatAhead(size_t count, size_t threads, Format format);
    ~FormatAhead();
    FormatAhead(const FormatAhead&) = delete;
    FormatAhead& operator=(const FormatAhead&) = delete;

    // The lines of file `i`, once formatted; valid until release(i). Throws what
    // formatting a file threw.
    const LineList& lines(size_t i);
    void release(size_t i);

  private:
    void work();

    Format format_;
    std::array<LineList, kAhead> slots_;
    std::mutex m_;
    std::condition_variable changed_;
    std::vector<bool> formatted_;
    size_t next_ = 0;
    size_t released_ = 0;
    bool stop_ = false;
    size_t failedAt_ = SIZE_MAX; // the first file whose formatting failed
    std::exception_ptr error_;
    std::vector<std::thread> workers_;
};

} // namespace dotz
