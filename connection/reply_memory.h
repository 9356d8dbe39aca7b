#pragma once
// The memory of a reply read as it arrives: one address space for its packets,
// the pages of each packet handed over, and a packet handed over while its rows
// still arrive. For the reply stream only.
#include "base/packet.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
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
// packet never moves while a loader reads it. Pages are committed a chunk at a
// time as bytes arrive and come back as packets are read. A chunk whose pages
// have all come back moves, pages and all, to where the next bytes go: a day's
// gigabytes pass through the same few megabytes, where a page freed and a fresh
// one taken would cost a zeroing and the system's bookkeeping each. Each packet
// starts on a page of its own, so no packet gives back a page of another.
class Arena
{
  public:
    explicit Arena(size_t reserve)
    {
        // Chunks lie on multiples of their size, each wholly within one mapping.
        const size_t reserved = roundUp(reserve, kChunk);
        void* at = mmap(nullptr, reserved + kChunk, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (at == MAP_FAILED)
            return;
        mapped_ = static_cast<char*>(at);
        mappedSize_ = reserved + kChunk;
        const auto address = reinterpret_cast<uintptr_t>(mapped_);
        base_ = mapped_ + (roundUp(address, kChunk) - address);
        reserved_ = reserved;
    }
    ~Arena()
    {
        if (mapped_)
            munmap(mapped_, mappedSize_);
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

    // The pages of [from, to) (both on page starts) are read for good; they
    // stay readable until their chunk moves, as zeros after.
    void giveBack(size_t from, size_t to)
    {
        std::lock_guard lock(m_);
        while (from < to) {
            const size_t chunk = from / kChunk;
            const size_t upTo = std::min(to, (chunk + 1) * kChunk);
            size_t& pages = given_[chunk];
            pages += (upTo - from) / pageSize();
            if (pages == kChunk / pageSize()) {
                given_.erase(chunk);
                if (pool_.size() < kPoolChunks)
                    pool_.push_back(chunk);
                else
                    madvise(base_ + chunk * kChunk, kChunk, MADV_DONTNEED);
            }
            from = upTo;
        }
    }

    static constexpr size_t kChunk = size_t{4} << 20;

  private:
    bool commit(size_t end)
    {
        if (end > reserved_)
            return false;
        for (; committed_ < end; committed_ += kChunk) {
            if (reuseChunk())
                continue;
            if (mprotect(base_ + committed_, kChunk, PROT_READ | PROT_WRITE) != 0)
                return false;
#if defined(MADV_POPULATE_WRITE)
            // The chunk is about to be filled: its pages in one call rather than one
            // fault each. Where the kernel lacks it, the faults come as before.
            madvise(base_ + committed_, kChunk, MADV_POPULATE_WRITE);
#endif
        }
        return true;
    }

    // Moves a chunk read through to the frontier. Its old place stays mapped,
    // then becomes one with the other places read through, so that the mappings
    // do not grow in number with the reply.
    bool reuseChunk()
    {
        size_t chunk = 0;
        {
            std::lock_guard lock(m_);
            if (pool_.empty())
                return false;
            chunk = pool_.back();
            pool_.pop_back();
        }
        char* const from = base_ + chunk * kChunk;
#if defined(MREMAP_DONTUNMAP)
        if (mremap(from, kChunk, kChunk, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP,
                   base_ + committed_) != MAP_FAILED) {
            mmap(from, kChunk, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
                 -1, 0);
            return true;
        }
#endif
        // A kernel that cannot move it: its pages go back, and the frontier takes fresh ones.
        madvise(from, kChunk, MADV_DONTNEED);
        return false;
    }

    // Chunks read through that wait for the frontier; past these, their pages go back.
    static constexpr size_t kPoolChunks = 8;
    char* mapped_ = nullptr;
    size_t mappedSize_ = 0;
    char* base_ = nullptr;
    size_t reserved_ = 0;
    size_t committed_ = 0; // on a chunk's start
    size_t used_ = 0;
    std::mutex m_;
    std::unordered_map<size_t, size_t> given_; // pages given back, by chunk, while some are not
    std::vector<size_t> pool_;
};

// Where a packet lies in the arena and how far its pages have gone back: shared
// by the packet while it arrives and the packet it becomes, which read the same
// pages. Only the packet's one reader moves it on.
class Span
{
  public:
    Span(std::shared_ptr<Arena> arena, size_t from)
        : arena_(std::move(arena)), from_(from), given_(from)
    {
    }
    Arena& arena() const { return *arena_; }
    size_t from() const { return from_; }
    // The reader is done with the bytes before arena offset `at`: the chunks
    // wholly behind it go back. true once any page has.
    bool readUpTo(size_t at)
    {
        const size_t upTo = at / Arena::kChunk * Arena::kChunk;
        const size_t given = given_.load(std::memory_order_relaxed);
        if (upTo > given) {
            arena_->giveBack(given, upTo);
            given_.store(upTo, std::memory_order_relaxed);
        }
        return given_.load(std::memory_order_relaxed) != from_;
    }
    // The packet is let go: the rest of its pages, up to `to`, go back.
    void release(size_t to) { arena_->giveBack(given_.load(), roundUp(to, pageSize())); }

  private:
    std::shared_ptr<Arena> arena_;
    size_t from_;
    std::atomic<size_t> given_; // pages before it are given back
};

// The pages of a packet handed over: those its loader has read go back while it
// loads, the rest with the last copy of the packet.
class PacketPages final : public Packet::Memory
{
  public:
    PacketPages(std::shared_ptr<Span> span, size_t to) : span_(std::move(span)), to_(to) {}
    ~PacketPages() override { span_->release(to_); }
    PacketPages(const PacketPages&) = delete;
    PacketPages& operator=(const PacketPages&) = delete;

    void consumed(const char* at) const override
    {
        const Arena& arena = span_->arena();
        if (at < arena.at(span_->from()) || at > arena.at(to_))
            return;
        span_->readUpTo(static_cast<size_t>(at - arena.at(0)));
    }

  private:
    std::shared_ptr<Span> span_;
    size_t to_;
};

// A packet handed over while its rows arrive: the receiving thread publishes
// the marks of the rows that are in, the loading thread waits for them and
// gives back the pages it has read.
class Arriving final : public Packet::Arrival
{
  public:
    explicit Arriving(std::shared_ptr<Span> span)
        : span_(std::move(span)), data_(span_->arena().at(span_->from()))
    {
    }
    const std::shared_ptr<Span>& span() const { return span_; }
    // The pages wholly behind the reader go back while the rest still arrives,
    // so that a packet larger than memory can be read.
    bool consumed(size_t offset) const override
    {
        const bool gone = span_->readUpTo(span_->from() + offset);
        {
            std::lock_guard lock(m_);
            read_ = std::max(read_, offset);
        }
        changed_.notify_all();
        return gone;
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

    // Publishes the marks with kPadding of the `arrived` bytes past them. Holds
    // the receiving thread back while the reader is more than kAhead behind:
    // the reply then waits in the network and the server's spool, not in this
    // process's memory.
    void publish(const std::vector<size_t>& starts, size_t arrived)
    {
        size_t n = starts.size();
        while (n > 0 && starts[n - 1] + Packet::kPadding > arrived)
            --n;
        {
            std::unique_lock lock(m_);
            if (n <= starts_.size())
                return;
            starts_.assign(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(n));
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
    static constexpr size_t kAhead = size_t{32} << 20;
    std::shared_ptr<Span> span_; // its pages stay until the packet is let go
    const char* data_;
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
