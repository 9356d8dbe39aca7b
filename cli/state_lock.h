#pragma once
// One pending run at a time on a state file: an exclusive flock on the lock file
// beside it ("<state>.lock"), held for the run's whole length. The kernel frees
// it when the holder ends, however it ends, so a killed run never blocks the next.
#include "base/error.h"

#include <chrono>
#include <string>

namespace dotz {

// Another run holds the lock: a later try may pass.
class StateBusy : public Error
{
  public:
    using Error::Error;
};

class StateLock
{
  public:
    // Takes the lock, creating the state's folder and the lock file when missing,
    // and leaves this process's id in it for the next run to name. Throws
    // StateBusy (naming the state file and the holder's process id) when another
    // run holds it, StateError when the lock file cannot be opened or is a link.
    // A holder writes its id just after it takes the lock: a run that finds no
    // live process's id there tries again for up to `holderWait`, then says the
    // holder is unknown.
    explicit StateLock(const std::string& statePath,
                       std::chrono::milliseconds holderWait = kHolderWait);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    const std::string& path() const { return path_; }

    static constexpr std::chrono::milliseconds kHolderWait{2000};

  private:
    std::string path_;
    int fd_ = -1;
};

} // namespace dotz
