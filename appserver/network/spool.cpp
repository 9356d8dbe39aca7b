#include "spool.h"

#include "base/error.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace dotz::appserver {

bool SpoolBudget::take(size_t n, bool always)
{
    size_t used = used_.load();
    do {
        if (!always && used + n > limit_)
            return false;
    } while (!used_.compare_exchange_weak(used, used + n));
    return true;
}

Spool::Spool(SpoolBudget& budget, std::string dir, size_t memoryBound)
    : budget_(budget), dir_(std::move(dir)), memoryBound_(memoryBound)
{
}

Spool::~Spool()
{
    std::lock_guard lock(mutex_);
    release();
}

void Spool::release()
{
    budget_.give(memoryBytes_);
    memory_.clear();
    memoryBytes_ = 0;
    if (reading_)
        return; // the reader lets go of the file once its read ends
    budget_.give(fileCharged_);
    fileCharged_ = fileWritten_ = fileRead_ = 0;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

size_t Spool::total() const
{
    std::lock_guard lock(mutex_);
    return total_;
}

void Spool::wakeReader(std::unique_lock<std::mutex>& lock)
{
    auto wake = std::move(wake_);
    wake_ = nullptr;
    lock.unlock();
    if (wake)
        wake();
}

void Spool::put(std::string_view piece)
{
    std::unique_lock lock(mutex_);
    if (abandoned_)
        throw SpoolGone{};
    // In memory only while nothing waits in the file, so that the order holds.
    if (fileWritten_ == fileRead_ && memoryBytes_ + piece.size() <= memoryBound_) {
        budget_.take(piece.size(), true);
        memory_.emplace_back(piece);
        memoryBytes_ += piece.size();
    } else {
        // The producer ends the reply with fail(), which says why.
        if (!budget_.take(piece.size(), false))
            throw SpoolFull{};
        fileCharged_ += piece.size();
        writeFile(piece);
    }
    total_ += piece.size();
    wakeReader(lock);
}

void Spool::writeFile(std::string_view piece)
{
    if (fd_ < 0) {
        // Unlinked from the start: nothing is left behind whatever ends the server.
        fd_ = ::open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
            std::string name = dir_ + "/krt-spool-XXXXXX";
            fd_ = ::mkostemp(name.data(), O_CLOEXEC);
            if (fd_ >= 0)
                ::unlink(name.c_str());
        }
        if (fd_ < 0)
            throw Error("cannot create a spool file in " + dir_ + ": " + std::strerror(errno));
    }
    size_t done = 0;
    while (done < piece.size()) {
        const ssize_t n = ::pwrite(fd_, piece.data() + done, piece.size() - done,
                                   static_cast<off_t>(fileWritten_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error("cannot write the spool file in " + dir_ + ": " +
                        std::strerror(n < 0 ? errno : ENOSPC));
        done += static_cast<size_t>(n);
    }
    fileWritten_ += piece.size();
}

std::string Spool::detail() const
{
    std::lock_guard lock(mutex_);
    return detail_;
}

void Spool::finish(std::string detail)
{
    std::unique_lock lock(mutex_);
    detail_ = std::move(detail);
    finished_ = true;
    wakeReader(lock);
}

void Spool::fail(std::string detail)
{
    std::unique_lock lock(mutex_);
    detail_ = std::move(detail);
    failed_ = true;
    release();
    wakeReader(lock);
}

void Spool::abandon()
{
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    wake_ = nullptr;
    release();
}

Spool::State Spool::take(std::string& out, size_t most, std::function<void()> wake)
{
    std::unique_lock lock(mutex_);
    if (failed_ || abandoned_)
        return State::Failed;
    if (!memory_.empty()) {
        // Pieces are handed on whole: the producer's are a few hundred KiB.
        out = std::move(memory_.front());
        memory_.pop_front();
        memoryBytes_ -= out.size();
        budget_.give(out.size());
        return State::Data;
    }
    if (fileRead_ < fileWritten_) {
        const size_t from = fileRead_;
        const size_t n = std::min(most, fileWritten_ - from);
        out.resize(n);
        reading_ = true;
        // Only the producer writes the file, and only past fileWritten_: the
        // range read here is settled.
        lock.unlock();
        size_t done = 0;
        while (done < n) {
            const ssize_t r =
                ::pread(fd_, out.data() + done, n - done, static_cast<off_t>(from + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += static_cast<size_t>(r);
        }
        // Disk given back as it is read, where the file system can.
        const bool punched =
            done == n && ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                     static_cast<off_t>(from), static_cast<off_t>(n)) == 0;
        lock.lock();
        reading_ = false;
        if (done < n)
            failed_ = true;
        if (failed_ || abandoned_) {
            release();
            return State::Failed;
        }
        fileRead_ += n;
        if (punched) {
            budget_.give(n);
            fileCharged_ -= n;
        }
        if (fileRead_ == fileWritten_) {
            // Caught up: the file starts over, and memory serves again.
            if (::ftruncate(fd_, 0) == 0) {
                budget_.give(fileCharged_);
                fileCharged_ = 0;
                fileRead_ = fileWritten_ = 0;
            }
        }
        return State::Data;
    }
    if (finished_)
        return State::Ended;
    wake_ = std::move(wake);
    return State::Empty;
}

} // namespace dotz::appserver
