#pragma once
// SIGINT and SIGTERM (Ctrl-C, the service's stop) end a run between days. A
// thread of its own takes them, so what it does on one is not limited to what a
// signal handler may do.
#include <atomic>
#include <functional>
#include <pthread.h>
#include <signal.h>
#include <thread>

class StopSignals
{
  public:
    // Blocks the two signals in this thread and in every thread it starts later:
    // make it before any other thread. `onStop` runs on the waiting thread, once.
    explicit StopSignals(std::function<void()> onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool requested() const { return requested_; }

  private:
    std::function<void()> onStop_;
    sigset_t previous_{};
    std::atomic<bool> requested_{false};
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};
