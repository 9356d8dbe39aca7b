#include "call_limit.h"

namespace dotz::appserver {

std::shared_ptr<void> CallLimit::enter(const std::string& address)
{
    {
        std::lock_guard lock(mutex_);
        int& n = calls_[address];
        if (n >= cap_)
            return nullptr;
        ++n;
    }
    return {static_cast<void*>(this), [this, address](void*) {
                std::lock_guard lock(mutex_);
                if (--calls_[address] <= 0)
                    calls_.erase(address);
            }};
}

} // namespace dotz::appserver
