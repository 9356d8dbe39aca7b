#pragma once
// A reply between the query that produces it and the peer that reads it. The
// query puts pieces at the database's pace and never waits; the network takes
// them at the peer's. Pieces stay in memory up to a bound per reply, past it in
// an unlinked temporary file; a budget shared by all replies bounds the whole.
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace dotz::appserver {

// Bytes held by every spool together, memory and disk.
class SpoolBudget
{
  public:
    explicit SpoolBudget(size_t limit) : limit_(limit) {}
    // False when n more bytes would pass the limit; `always` takes them anyway.
    bool take(size_t n, bool always);
    void give(size_t n) { used_ -= n; }
    bool spent() const { return used_ >= limit_; }
    size_t used() const { return used_; }
    size_t limit() const { return limit_; }

  private:
    std::atomic<size_t> used_{0};
    size_t limit_;
};

// Thrown by Spool::put.
struct SpoolGone // the peer left, or the network gave up on it
{
};
struct SpoolFull // the budget is spent
{
};

class Spool
{
  public:
    // dir: where the temporary file goes; memoryBound: the bytes of this reply
    // kept in memory, which the budget never refuses.
    Spool(SpoolBudget& budget, std::string dir, size_t memoryBound);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // The producer's side. put() throws SpoolGone, SpoolFull, or dotz::Error
    // when the file cannot be written; after a throw, fail() ends the reply.
    void put(std::string_view piece);
    // detail: what the reply's log line is to say of it.
    void finish(std::string detail);
    // The reply cannot be completed: the reader is told so.
    void fail(std::string detail);

    // The reader's side.
    enum class State { Data, Empty, Ended, Failed };
    // Moves up to about `most` waiting bytes into `out`. On Empty, `wake` runs
    // once (on the producer's thread) when more comes or the reply ends.
    State take(std::string& out, size_t most, std::function<void()> wake);
    // The peer is gone: what is held is freed, and the producer's next put throws.
    void abandon();

    // Bytes put so far.
    size_t total() const;
    std::string detail() const;

  private:
    void release(); // with the mutex held
    void wakeReader(std::unique_lock<std::mutex>& lock);
    void writeFile(std::string_view piece);

    SpoolBudget& budget_;
    std::string dir_;
    size_t memoryBound_;
    mutable std::mutex mutex_;
    std::deque<std::string> memory_;
    size_t memoryBytes_ = 0;
    int fd_ = -1;
    size_t fileWritten_ = 0; // the file's end
    size_t fileRead_ = 0;    // what the reader has taken of it
    size_t fileCharged_ = 0; // file bytes not yet given back to the budget
    size_t total_ = 0;
    bool finished_ = false;
    bool failed_ = false;
    bool abandoned_ = false;
    bool reading_ = false; // the reader is reading the file, without the mutex
    std::function<void()> wake_;
    std::string detail_;
};

} // namespace dotz::appserver
