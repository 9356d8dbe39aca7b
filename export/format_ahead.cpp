#include "format_ahead.h"

#include <system_error>

namespace dotz {

FormatAhead::FormatAhead(size_t count, size_t threads, Format format)
    : format_(std::move(format)), formatted_(count, false)
{
    try {
        while (workers_.size() < std::max<size_t>(threads, 1))
            workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        if (workers_.empty())
            throw;
    }
}

FormatAhead::~FormatAhead()
{
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& w : workers_)
        w.join();
}

const LineList& FormatAhead::lines(size_t i)
{
    std::unique_lock lock(m_);
    // Files before a failed one come out as they would one by one.
    changed_.wait(lock, [&] { return formatted_[i] || failedAt_ == i; });
    if (!formatted_[i])
        std::rethrow_exception(error_);
    return slots_[i % kAhead];
}

void FormatAhead::release(size_t i)
{
    {
        std::lock_guard lock(m_);
        released_ = i + 1;
    }
    changed_.notify_all();
}

void FormatAhead::work()
{
    while (true) {
        size_t i = 0;
        {
            std::unique_lock lock(m_);
            // A slot is formatted again once the writer let its file go; none
            // after a failed file.
            const auto over = [&] {
                return stop_ || next_ == formatted_.size() || next_ > failedAt_;
            };
            changed_.wait(lock, [&] { return over() || next_ < released_ + kAhead; });
            if (over())
                return;
            i = next_++;
        }
        try {
            format_(i, slots_[i % kAhead]);
            std::lock_guard lock(m_);
            formatted_[i] = true;
        } catch (...) {
            std::lock_guard lock(m_);
            if (i < failedAt_) {
                failedAt_ = i;
                error_ = std::current_exception();
            }
        }
        changed_.notify_all();
    }
}

} // namespace dotz
