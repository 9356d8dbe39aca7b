#pragma once
// SIGINT and SIGTERM (Ctrl-C, the service's stop) end a run between days. A
// thread of its own takes them, so what it does on one is not limited to what a
// signal handler may do.
#include <atomic>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <thread>

class StopSignals
{
  public:
    // Starts the thread that takes the two signals, blocked in every other
    // thread (and, by the starter, before this program began): make it first
    // thing in main, before any other thread. A stop is only noted until the run
    // looks.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Also takes a stop that came before the waiting thread could: one that came
    // while the program started counts as soon as the run looks.
    bool requested();

    // While the returned hook lives, a stop also runs `onStop` (on the waiting
    // thread, once); a stop that came before does not run it.
    class Hook
    {
      public:
        explicit Hook(StopSignals& signals) : signals_(signals) {}
        ~Hook() { signals_.setOnStop({}); }
        Hook(const Hook&) = delete;
        Hook& operator=(const Hook&) = delete;

      private:
        StopSignals& signals_;
    };
    [[nodiscard]] Hook onStop(std::function<void()> onStop);

  private:
    void setOnStop(std::function<void()> onStop);

    std::mutex m_;
    std::function<void()> onStop_;
    sigset_t previous_{};
    std::atomic<bool> requested_{false};
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};
