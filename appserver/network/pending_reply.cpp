#include "pending_reply.h"

namespace dotz::appserver {

void PendingReply::set(State state)
{
    std::unique_lock lock(mutex_);
    state_ = state;
    auto wake = std::move(wake_);
    wake_ = nullptr;
    lock.unlock();
    if (wake)
        wake();
}

void PendingReply::answer(WholeReply reply)
{
    {
        std::lock_guard lock(mutex_);
        whole_ = std::move(reply);
    }
    set(State::Whole);
}

void PendingReply::stream(std::string_view first)
{
    spool_->put(first);
    set(State::Streaming);
}

PendingReply::State PendingReply::poll(std::function<void()> wake)
{
    std::lock_guard lock(mutex_);
    if (state_ == State::Waiting)
        wake_ = std::move(wake);
    return state_;
}

WholeReply PendingReply::takeWhole()
{
    std::lock_guard lock(mutex_);
    return std::move(whole_);
}

void PendingReply::abandon()
{
    {
        std::lock_guard lock(mutex_);
        wake_ = nullptr;
    }
    if (spool_)
        spool_->abandon();
}

} // namespace dotz::appserver
