#pragma once
// The memory of a reply read as it arrives: one address space for its packets,
// the pages of each packet handed over, and a packet handed over while its rows
// still arrive. For the reply stream only.
#include "export/packet.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace dotz::reply_memory {

inline size_t pageSize()
{
    static const auto size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

inline size_t roundUp(size_t n, size_t to)
{
    return (n + to - 1) / to * to;
}

// One call's address space for its packets: reserved whole up front, so that a
// packet never moves while a loader reads it; pages are committed as bytes
// arrive and given back as each packet is let go. Each packet starts on a page
// of its own, so giving one back touches no other.
class Arena
{
  public:
    explicit Arena(size_t reserve) : reserved_(roundUp(reserve, pageSize()))
    {
        void* at =
            mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        base_ = at == MAP_FAILED ? nullptr : static_cast<char*>(at);
    }
    ~Arena()
    {
        if (base_)
            munmap(base_, reserved_);
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    bool usable() const { return base_ != nullptr; }
    char* at(size_t offset) const { return base_ + offset; }
    size_t used() const { return used_; }

    // The next bytes go to a fresh page.
    void startOnPage() { used_ = roundUp(used_, pageSize()); }

    bool append(const char* data, size_t size)
    {
        if (!commit(used_ + size))
            return false;
        std::memcpy(base_ + used_, data, size);
        used_ += size;
        return true;
    }

    // Gives back the pages of [from, to), which stay readable as zeros.
    void drop(size_t from, size_t to) { madvise(base_ + from, to - from, MADV_DONTNEED); }

    // Gives back the pages of [from, to) for good; `from` starts a page, the rest
    // of the last page belongs to nobody else.
    void release(size_t from, size_t to)
    {
        const size_t end = roundUp(to, pageSize());
        // A fresh mapping over the range drops its pages and its commitment at once;
        // should it fail, the pages at least go.
        if (mmap(base_ + from, end - from, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == MAP_FAILED)
            madvise(base_ + from, end - from, MADV_DONTNEED);
    }

  private:
    bool commit(size_t end)
    {
        if (end <= committed_)
            return true;
        if (end > reserved_)
            return false;
        // In steps, so that a large packet costs few calls.
        const size_t to = std::min(reserved_, roundUp(end, kStep));
        if (mprotect(base_ + committed_, to - committed_, PROT_READ | PROT_WRITE) != 0)
            return false;
#if defined(MADV_POPULATE_WRITE)
        // The step is about to be filled: its pages in one call rather than one
        // fault each. Where the kernel lacks it, the faults come as before.
        madvise(base_ + committed_, to - committed_, MADV_POPULATE_WRITE);
#endif
        committed_ = to;
        return true;
    }

    static constexpr size_t kStep = size_t{4} << 20;
    char* base_ = nullptr;
    size_t reserved_;
    size_t committed_ = 0;
    size_t used_ = 0;
};

// The pages of a packet handed over: those its loader has read go back while it
// loads, the rest with the last copy of the packet.
class PacketPages final : public Packet::Memory
{
  public:
    PacketPages(std::shared_ptr<Arena> arena, size_t from, size_t to)
        : arena_(std::move(arena)), from_(from), to_(to), dropped_(from)
    {
    }
    ~PacketPages() override { arena_->release(from_, to_); }
    PacketPages(const PacketPages&) = delete;
    PacketPages& operator=(const PacketPages&) = delete;

    void consumed(const char* at) const override
    {
        if (at < arena_->at(from_) || at > arena_->at(to_))
            return;
        const size_t page = pageSize();
        const size_t upTo = static_cast<size_t>(at - arena_->at(0)) / page * page;
        // In steps, so that a packet costs a few calls.
        if (upTo >= dropped_ + kStep) {
            arena_->drop(dropped_, upTo);
            dropped_ = upTo;
        }
    }

  private:
    static constexpr size_t kStep = size_t{8} << 20;
    std::shared_ptr<Arena> arena_;
    size_t from_;
    size_t to_;
    mutable size_t dropped_; // pages before it are given back
};

// A packet handed over while its rows arrive: the receiving thread publishes
// the marks of the rows that are in, the loading thread waits for them and
// gives back the pages it has read.
class Arriving final : public Packet::Arrival
{
  public:
    Arriving(std::shared_ptr<Arena> arena, size_t from)
        : arena_(std::move(arena)), from_(from), data_(arena_->at(from)), dropped_(from)
    {
    }
    // The pages wholly behind the reader go back while the rest still arrives,
    // so that a packet larger than memory can be read.
    bool consumed(size_t offset) const override
    {
        const size_t upTo = (from_ + offset) / pageSize() * pageSize();
        if (upTo >= dropped_ + kStep) {
            arena_->drop(dropped_, upTo);
            dropped_ = upTo;
        }
        {
            std::lock_guard lock(m_);
            read_ = std::max(read_, offset);
        }
        changed_.notify_all();
        return dropped_ != from_;
    }
    void abandon() const override
    {
        {
            std::lock_guard lock(m_);
            abandoned_ = true;
        }
        changed_.notify_all();
    }
    Progress wait(size_t marks) const override
    {
        std::unique_lock lock(m_);
        changed_.wait(lock, [&] { return starts_.size() > marks || complete_ || broken_; });
        return {data_, starts_, complete_, broken_};
    }
    Packet packet() const override
    {
        std::lock_guard lock(m_);
        return whole_;
    }

    // Holds the receiving thread back while the reader is more than kAhead
    // behind: the reply then waits in the network and the server's spool, not
    // in this process's memory.
    void publish(const std::vector<size_t>& starts)
    {
        {
            std::unique_lock lock(m_);
            if (starts.size() == starts_.size())
                return;
            starts_ = starts;
            changed_.notify_all();
            changed_.wait(lock, [&] { return abandoned_ || starts_.back() <= read_ + kAhead; });
        }
    }
    void complete(Packet whole)
    {
        {
            std::lock_guard lock(m_);
            if (!whole.rowMarks().starts.empty())
                starts_ = whole.rowMarks().starts;
            whole_ = std::move(whole);
            complete_ = true;
        }
        changed_.notify_all();
    }
    void broken()
    {
        {
            std::lock_guard lock(m_);
            broken_ = !complete_;
        }
        changed_.notify_all();
    }

  private:
    static constexpr size_t kStep = size_t{8} << 20;
    static constexpr size_t kAhead = size_t{32} << 20;
    std::shared_ptr<Arena> arena_; // its pages stay until the packet is let go
    size_t from_;
    const char* data_;
    mutable size_t dropped_; // pages before it are given back (the reader's only)
    mutable std::mutex m_;
    mutable std::condition_variable changed_;
    std::vector<size_t> starts_;
    mutable size_t read_ = 0;        // what the reader is done with
    mutable bool abandoned_ = false; // the reader reads no further while it arrives
    bool complete_ = false;
    bool broken_ = false;
    Packet whole_;
};

} // namespace dotz::reply_memory
