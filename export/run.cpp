#include "run.h"

#include "base/wire_contract.h"
#include "column_store.h"

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

namespace dotz {
namespace {

constexpr int kExportAnimation = 6;

// Streams each packet of a day into the day's writer on a thread of its own,
// in slot order, so that the files are written while the server still sends.
// It runs at the receiver's priority: what it has not read yet is memory the
// reply holds.
// A packet handed over early is taken from there; the others once the fetch
// returns. A refused packet ends the day: the packets after it are not read.
class DayStreamer
{
  public:
    DayStreamer()
    {
        for (size_t slot = 0; slot < wire::kPackets.size(); ++slot) {
            std::vector<ColumnDef> defs;
            for (const wire::Column& c : wire::kPackets[slot].columns)
                defs.push_back({c.name, c.text ? ColumnType::Text : ColumnType::Number, c.size});
            stores_[slot] = std::make_unique<ColumnStore>(std::move(defs));
        }
    }
    ~DayStreamer()
    {
        {
            std::lock_guard lock(m_);
            stop_ = true;
            for (Packet& p : packets_)
                letGo(p);
        }
        changed_.notify_all();
        if (worker_.joinable())
            worker_.join();
    }
    DayStreamer(const DayStreamer&) = delete;
    DayStreamer& operator=(const DayStreamer&) = delete;

    // Only between days, when the day before has been waited for or settled.
    void startDay(DayWriter& writer, DayTracker& tracker)
    {
        std::lock_guard lock(m_);
        writer_ = &writer;
        tracker_ = &tracker;
        packets_ = {};
        given_ = {};
        next_ = 0;
        error_ = nullptr;
        abandoned_ = false;
    }

    // A slot is taken once; what comes for it again, or for no slot, is dropped
    // (the day's reply check refuses such a reply), and so is what comes once
    // the day has failed.
    void handOver(size_t slot, Packet packet)
    {
        {
            std::lock_guard lock(m_);
            if (slot >= packets_.size() || given_[slot]) {
                letGo(packet);
                return;
            }
            given_[slot] = true;
            if (error_ || abandoned_) {
                letGo(packet);
                return;
            }
            packets_[slot] = std::move(packet);
            if (!worker_.joinable())
                worker_ = std::thread([this] { work(); });
        }
        changed_.notify_all();
    }
    bool given(size_t slot) const
    {
        std::lock_guard lock(m_);
        return given_[slot];
    }

    // Waits until every slot has been read; throws what refused the first refused one.
    void wait()
    {
        std::unique_lock lock(m_);
        changed_.wait(lock, [&] { return next_ == packets_.size(); });
        if (error_)
            std::rethrow_exception(error_);
    }

    // A day that failed: no slot is read any more, and the one under way ends
    // (its reply is over) before the day's writer goes.
    void settle()
    {
        std::unique_lock lock(m_);
        abandoned_ = true;
        for (Packet& p : packets_)
            letGo(p);
        changed_.wait(lock, [&] { return !busy_; });
        writer_ = nullptr;
    }

  private:
    // A packet not read tells its receiver not to wait for the reading.
    static void letGo(Packet& packet)
    {
        if (const Packet::Arrival* arrival = packet.arrival())
            arrival->abandon();
        packet = {};
    }

    void work()
    {
        std::unique_lock lock(m_);
        while (true) {
            changed_.wait(lock, [&] {
                return stop_ || (!abandoned_ && next_ < packets_.size() && given_[next_]);
            });
            if (stop_)
                return;
            const size_t slot = next_;
            Packet packet = std::exchange(packets_[slot], {});
            DayWriter& writer = *writer_;
            DayTracker& tracker = *tracker_;
            busy_ = true;
            lock.unlock();
            std::exception_ptr error;
            try {
                ColumnStore& store = *stores_[slot];
                store.clear();
                struct Clear
                {
                    ColumnStore& store;
                    ~Clear() { store.clear(); }
                } clear{store};
                loadPacketInto(store, wire::kPackets[slot].table, packet,
                               &tracker.wrap(slot, writer.slot(slot)));
                tracker.ended(slot);
            } catch (...) {
                error = std::current_exception();
            }
            // Its bytes go back before the next packet is taken.
            packet = {};
            lock.lock();
            busy_ = false;
            error_ = error;
            next_ = error ? packets_.size() : slot + 1;
            if (error) // the packets after a refused one are not read
                for (Packet& p : packets_)
                    letGo(p);
            changed_.notify_all();
        }
    }

    std::array<std::unique_ptr<ColumnStore>, wire::kPacketCount> stores_;
    mutable std::mutex m_;
    std::condition_variable changed_;
    DayWriter* writer_ = nullptr;
    DayTracker* tracker_ = nullptr;
    std::array<Packet, wire::kPacketCount> packets_;
    std::array<bool, wire::kPacketCount> given_{};
    size_t next_ = 0; // the slot read next
    std::exception_ptr error_;
    bool busy_ = false;
    bool abandoned_ = false;
    bool stop_ = false;
    std::thread worker_;
};

} // namespace

RunSummary runExport(const RunRequest& request, const FetchDay& fetch, const PathMap& paths,
                     FileSystem& fs, RunObserver& observer, const MessageTable& messages)
{
    LineList lines;
    RunSummary summary;
    DayStreamer streamer;
    const EarlyPacket early = [&streamer](size_t slot, Packet packet) {
        streamer.handOver(slot, std::move(packet));
    };
    {
        observer.showBusy(kExportAnimation);
        struct Hide
        {
            RunObserver& o;
            ~Hide() { o.hideBusy(); }
        } hide{observer};
        // One try at a day: its files staged as its reply arrives, then checked;
        // nothing when the day is to start over.
        const auto tryDay = [&](Day day) -> std::optional<DayResult> {
            DayWriter writer(day, request.with515, lines, paths, fs, request.tills);
            DayTracker tracker(day, request.with515, observer);
            streamer.startDay(writer, tracker);
            struct Settle
            {
                DayStreamer& streamer;
                ~Settle() { streamer.settle(); }
            } settle{streamer};
            // Each packet is let go once its rows are read, so that the reply's
            // bytes are gone before the day's checks.
            DayFetch fetched = fetch(request.selector, day, early);
            if (fetched.kind == DayFetch::Kind::Retry)
                return std::nullopt; // the writer drops what it staged
            DayPackets& packets = fetched.packets;
            for (size_t slot = 0; slot < packets.size(); ++slot)
                if (!streamer.given(slot))
                    streamer.handOver(slot, std::exchange(packets[slot], {}));
            packets = {};
            streamer.wait();
            const DaySummary& read = writer.summary();
            observer.dayRead(day, read);
            Vd_Parceiro(read, messages);
            Vd_Diretorio(read, messages);
            return writer.GravaArquivosDotz();
        };
        for (Day day = request.from; request.to >= day; day = day.next()) {
            std::optional<DayResult> tried;
            while (!tried)
                tried = tryDay(day);
            DayResult written = std::move(*tried);
            // A day counts when it gave at least one file.
            if (!written.files.empty())
                ++summary.daysCounted;
            ++summary.days;
            observer.dayDone(day, written);
            summary.files.insert(summary.files.end(),
                                 std::make_move_iterator(written.files.begin()),
                                 std::make_move_iterator(written.files.end()));
        }
    }
    if (summary.daysCounted < 1)
        throw Refusal(messages.text("NAO_HA_DOTZ"));
    return summary;
}

} // namespace dotz
