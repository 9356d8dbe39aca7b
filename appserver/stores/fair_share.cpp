#include "fair_share.h"

#include <algorithm>

namespace dotz::appserver {

FairShare::FairShare(int readers, uint64_t quantum) : free_(std::max(1, readers)), quantum_(quantum)
{
}

size_t FairShare::waiting()
{
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

void FairShare::grantNext()
{
    Turn* next = *waiting_.begin();
    waiting_.erase(waiting_.begin());
    next->waiting_ = false;
    next->holding_ = true;
    next->granted_.notify_one();
}

bool FairShare::Turn::wait(std::unique_lock<std::mutex>& lock)
{
    arrival_ = share_.arrivals_++;
    waiting_ = true;
    share_.waiting_.insert(this);
    granted_.wait(lock, [&] { return !waiting_; });
    return holding_;
}

bool FairShare::Turn::enter()
{
    std::unique_lock lock(share_.mutex_);
    if (cancelled_)
        return false;
    start_ = share_.arrivals_++;
    if (share_.free_ > 0 && share_.waiting_.empty()) {
        --share_.free_;
        holding_ = true;
        return true;
    }
    return wait(lock);
}

bool FairShare::Turn::pause(uint64_t work, const std::function<void()>& parking)
{
    std::unique_lock lock(share_.mutex_);
    served_ += work;
    if (cancelled_ || !holding_)
        return false;
    // Ties go to the one holding: no hand-over for nothing.
    if (share_.waiting_.empty() || !Order{}(*share_.waiting_.begin(), this))
        return true;
    holding_ = false;
    share_.grantNext();
    if (parking)
        parking();
    return wait(lock);
}

void FairShare::Turn::leave()
{
    std::lock_guard lock(share_.mutex_);
    if (!holding_)
        return;
    holding_ = false;
    if (share_.waiting_.empty())
        ++share_.free_;
    else
        share_.grantNext();
}

void FairShare::Turn::cancel()
{
    std::lock_guard lock(share_.mutex_);
    cancelled_ = true;
    if (waiting_) {
        share_.waiting_.erase(this);
        waiting_ = false;
        granted_.notify_one();
    }
}

} // namespace dotz::appserver
