#include "appserver/stores/fair_share.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dotz::appserver {
namespace {

void untilWaiting(FairShare& share, size_t n)
{
    while (share.waiting() != n)
        std::this_thread::yield();
}

// One turn at a time: a call that has read less goes first, a newcomer before
// those that have read a lot, and the one holding keeps its turn on a tie.
TEST(FairShareTest, LeastServedReadsNext)
{
    FairShare share(1, 100);
    std::mutex m;
    std::vector<std::string> order;
    const auto note = [&](const char* what) {
        std::lock_guard lock(m);
        order.emplace_back(what);
    };
    FairShare::Turn a(share);
    ASSERT_TRUE(a.enter());
    ASSERT_TRUE(a.pause(5)); // nobody waits: keeps its turn

    std::thread b([&] {
        FairShare::Turn t(share);
        ASSERT_TRUE(t.enter());
        note("b");
        ASSERT_TRUE(t.pause(10)); // c (0) and a (6) wait: c first, then a
        note("b again");
    });
    untilWaiting(share, 1);
    std::thread c([&] {
        FairShare::Turn t(share);
        ASSERT_TRUE(t.enter());
        note("c");
    });
    untilWaiting(share, 2);
    ASSERT_TRUE(a.pause(1)); // b and c have read nothing: a waits for both
    note("a");
    a.leave();
    b.join();
    c.join();
    EXPECT_EQ(order, (std::vector<std::string>{"b", "c", "a", "b again"}));
}

// Past the quantum the call that came first goes on, whatever it has read,
// but still gives way to a newcomer.
TEST(FairShareTest, PastTheQuantumFirstComeGoesOn)
{
    FairShare share(1, 4);
    std::vector<std::string> order;
    FairShare::Turn a(share);
    ASSERT_TRUE(a.enter());
    ASSERT_TRUE(a.pause(4));
    std::thread b([&] {
        FairShare::Turn t(share);
        ASSERT_TRUE(t.enter());
        order.emplace_back("b");
        ASSERT_TRUE(t.pause(4)); // both past it: a came first
        order.emplace_back("b again");
    });
    untilWaiting(share, 1);
    ASSERT_TRUE(a.pause(1)); // b is new: a waits
    order.emplace_back("a");
    ASSERT_TRUE(a.pause(100)); // b came later: a keeps its turn
    a.leave();
    b.join();
    EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "b again"}));
}

TEST(FairShareTest, CancelledWaitGivesUpAndFreesNothingItDidNotHold)
{
    FairShare share(1, 4);
    FairShare::Turn a(share);
    ASSERT_TRUE(a.enter());
    FairShare::Turn b(share);
    bool entered = true;
    std::thread waiter([&] { entered = b.enter(); });
    untilWaiting(share, 1);
    b.cancel();
    waiter.join();
    EXPECT_FALSE(entered);
    EXPECT_FALSE(b.pause(1));
    b.leave();
    EXPECT_EQ(share.waiting(), 0u);

    // The one turn is still a's until it leaves, then free for the next.
    FairShare::Turn c(share);
    std::thread next([&] { EXPECT_TRUE(c.enter()); });
    untilWaiting(share, 1);
    a.leave();
    next.join();
}

} // namespace
} // namespace dotz::appserver
