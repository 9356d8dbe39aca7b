#include "query_pool.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <thread>

namespace dotz::appserver {

namespace {
// Batches of rows (2048 each): more than a branch's busy day.
constexpr uint64_t kSmallCall = 16;
} // namespace

QueryPool::QueryPool(int calls, int readers)
    : share_(readers > 0 ? readers : static_cast<int>(std::thread::hardware_concurrency()),
             kSmallCall),
      threads_(static_cast<size_t>(2 * std::max(1, calls))), calls_(std::max(1, calls))
{
}

QueryPool::~QueryPool()
{
    join();
}

void QueryPool::submit(std::function<void()> call)
{
    std::lock_guard lock(mutex_);
    if (running_ < calls_)
        start(std::move(call));
    else
        waiting_.push_back(std::move(call));
}

void QueryPool::start(std::function<void()> call)
{
    ++running_;
    boost::asio::post(threads_, [this, call = std::move(call)] {
        // A call reports its own failures; one that escapes must not take the
        // pool's thread with it.
        try {
            call();
        } catch (...) {
        }
        std::lock_guard lock(mutex_);
        --running_;
        if (!waiting_.empty()) {
            auto next = std::move(waiting_.front());
            waiting_.pop_front();
            start(std::move(next));
        }
    });
}

void QueryPool::helper(std::function<void()> task)
{
    boost::asio::post(threads_, std::move(task));
}

void QueryPool::join()
{
    threads_.join();
}

} // namespace dotz::appserver
