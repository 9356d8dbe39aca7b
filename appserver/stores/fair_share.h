#pragma once
// Turns at reading the database. Every call admitted holds a connection and its
// threads, but only a few read at once, one batch of rows at a time. Until a
// call has had its quantum, the least served goes first, so a branch's small day
// is answered at once even while dozens of whole big days are in progress; past
// it, calls go in the order they came, so that big days end one after another
// instead of all holding their memory together.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <tuple>

namespace dotz::appserver {

class FairShare
{
  public:
    // readers: how many calls read at once; quantum: the work of a small call.
    FairShare(int readers, uint64_t quantum);
    FairShare(const FairShare&) = delete;
    FairShare& operator=(const FairShare&) = delete;

    // Calls waiting for a turn now.
    size_t waiting();

    // One call's turns, used by the thread that reads; cancel() from any other.
    class Turn
    {
      public:
        explicit Turn(FairShare& share) : share_(share) {}
        ~Turn() { leave(); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

        // Each returns false once cancelled, the turn then given up.
        bool enter();
        // Counts work done and gives the turn to a call that has had less, if
        // one waits; parking runs then, before the wait, under the share's lock.
        bool pause(uint64_t work, const std::function<void()>& parking = {});
        void leave();
        void cancel();

      private:
        friend class FairShare;
        bool wait(std::unique_lock<std::mutex>& lock); // with share_.mutex_ held

        FairShare& share_;
        std::condition_variable granted_;
        uint64_t served_ = 0;
        uint64_t start_ = 0;   // when the call first came
        uint64_t arrival_ = 0; // when it last began to wait
        bool holding_ = false;
        bool waiting_ = false;
        bool cancelled_ = false;
    };

  private:
    struct Order
    {
        bool operator()(const Turn* a, const Turn* b) const { return key(a) < key(b); }
        static std::tuple<bool, uint64_t, uint64_t> key(const Turn* t)
        {
            const bool past = t->served_ >= t->share_.quantum_;
            return {past, past ? 0 : t->served_, past ? t->start_ : t->arrival_};
        }
    };
    void grantNext(); // with mutex_ held and a turn free

    std::mutex mutex_;
    std::set<Turn*, Order> waiting_;
    uint64_t arrivals_ = 0;
    int free_;
    const uint64_t quantum_;
};

} // namespace dotz::appserver
