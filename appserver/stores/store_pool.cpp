#include "store_pool.h"

#include "store_engines.h"

namespace dotz::appserver {

StorePool::Lease::~Lease()
{
    if (!store_ || discard_)
        return;
    std::lock_guard lock(pool_->mutex_);
    if (pool_->idle_.size() < 16)
        pool_->idle_.push_back(std::move(store_));
}

StorePool::Lease StorePool::acquire()
{
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto store = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(store));
        }
    }
    return Lease(*this, openStore(db_, options_));
}

} // namespace dotz::appserver
