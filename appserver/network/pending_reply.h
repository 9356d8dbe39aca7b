#pragma once
// A reply made away from its session: on a query thread, or where a probe
// answers. Its maker never calls into the session; the session pulls from it
// on its own strand, when it can write: a whole reply, or the head of a 200
// whose body follows through a spool at the peer's pace.
#include "spool.h"

#include "appserver/operations/metrics.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace dotz::appserver {

// Headers some replies carry.
struct ReplyExtra
{
    const char* allow = nullptr; // the Allow header of a 405
    std::chrono::seconds retryAfter{0};
};

// A reply sent whole, and what it adds to its request's log line.
struct WholeReply
{
    unsigned status = 200;
    std::string body{};
    ReplyExtra extra{};
    std::string detail{};
    std::optional<ServerMetrics::Outcome> outcome{};
};

class PendingReply
{
  public:
    // A reply that is only ever whole.
    PendingReply() = default;
    // One whose body may also go out through the spool, as it is made.
    explicit PendingReply(std::shared_ptr<Spool> spool) : spool_(std::move(spool)) {}
    PendingReply(const PendingReply&) = delete;
    PendingReply& operator=(const PendingReply&) = delete;

    // The maker's side, from any thread: one of answer() and stream(), once.
    void answer(WholeReply reply);
    // From here the reply is a 200 whose body goes out in chunks: `first` is
    // put, the rest follows through spool(). Throws what Spool::put throws,
    // and then leaves the reply to be answered whole.
    void stream(std::string_view first);
    Spool& spool() { return *spool_; }

    // The session's side.
    enum class State { Waiting, Whole, Streaming };
    // On Waiting, `wake` runs once (on the maker's thread) when that changes.
    State poll(std::function<void()> wake);
    // After Whole.
    WholeReply takeWhole();
    // After Streaming: the spool the body comes from.
    std::shared_ptr<Spool> body() { return spool_; }
    // The peer is gone: the maker's next put throws SpoolGone.
    void abandon();

  private:
    void set(State state); // wakes the session

    std::mutex mutex_;
    State state_ = State::Waiting;
    WholeReply whole_;
    std::shared_ptr<Spool> spool_;
    std::function<void()> wake_;
};

} // namespace dotz::appserver
