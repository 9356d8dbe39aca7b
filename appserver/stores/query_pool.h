#pragma once
// The threads that run queries. A call reads the database on one thread and
// encodes its reply on another, so each call that runs holds two threads of
// the pool: a call waits for a free pair, and its helper never waits for a
// thread at all, which would deadlock a pool full of calls.
#include "fair_share.h"

#include <boost/asio/thread_pool.hpp>

#include <deque>
#include <functional>
#include <mutex>

namespace dotz::appserver {

class QueryPool
{
  public:
    // calls: how many run at once; readers: how many of them read at a time
    // (0: one per core).
    QueryPool(int calls, int readers);
    ~QueryPool();
    QueryPool(const QueryPool&) = delete;
    QueryPool& operator=(const QueryPool&) = delete;

    // Any thread: runs call once a pair of threads is free, in the order given.
    void submit(std::function<void()> call);
    // From inside a running call only: runs task on the call's second thread.
    void helper(std::function<void()> task);
    // Waits for every call, also those still queued.
    void join();
    // The turns of the calls' reading threads.
    FairShare& share() { return share_; }

  private:
    void start(std::function<void()> call); // with the mutex held

    FairShare share_;
    boost::asio::thread_pool threads_;
    std::mutex mutex_;
    std::deque<std::function<void()>> waiting_;
    int running_ = 0;
    int calls_;
};

} // namespace dotz::appserver
