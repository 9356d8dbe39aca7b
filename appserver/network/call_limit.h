#pragma once
// The cap on calls in progress from one client address (429 past it).
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace dotz::appserver {

// Calls in progress by client address.
class CallLimit
{
  public:
    explicit CallLimit(int perAddress) : cap_(perAddress) {}
    // Held while the call is in progress; null when the address is at the cap.
    std::shared_ptr<void> enter(const std::string& address);
    int cap() const { return cap_; }

  private:
    int cap_;
    std::mutex mutex_;
    std::map<std::string, int> calls_;
};

} // namespace dotz::appserver
