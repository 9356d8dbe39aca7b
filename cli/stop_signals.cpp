#include "stop_signals.h"

namespace {

sigset_t stopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

StopSignals::StopSignals()
{
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
    // Taken at the end, whoever blocked them first.
    sigdelset(&previous_, SIGINT);
    sigdelset(&previous_, SIGTERM);
    waiter_ = std::thread([this, set] {
        int signal = 0;
        while (sigwait(&set, &signal) == 0 && !closing_) {
            if (requested_.exchange(true))
                continue;
            const std::lock_guard lock(m_);
            if (onStop_)
                onStop_();
        }
    });
}

StopSignals::~StopSignals()
{
    closing_ = true;
    pthread_kill(waiter_.native_handle(), SIGTERM);
    waiter_.join();
    // A signal that came after the run stays pending here, and takes its
    // default action once unblocked: the process ends as asked.
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

StopSignals::Hook StopSignals::onStop(std::function<void()> onStop)
{
    setOnStop(std::move(onStop));
    return Hook(*this);
}

bool StopSignals::requested()
{
    if (requested_)
        return true;
    const sigset_t set = stopSet();
    const timespec now{};
    if (sigtimedwait(&set, nullptr, &now) > 0)
        requested_ = true;
    return requested_;
}

void StopSignals::setOnStop(std::function<void()> onStop)
{
    const std::lock_guard lock(m_);
    onStop_ = std::move(onStop);
}
