#include "run.h"

#include "checks.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace dotz {
namespace {

constexpr int kExportAnimation = 6;
// The loader's thread, and the threads it starts, yield to the thread that
// receives the reply: loading can wait, and the server holds a database
// connection and its turn until the last byte is taken.
constexpr int kLoaderNice = 10;

// Each day's files go in place (each flushed before its rename) when the day is
// written, so that a run ended by a failure or a kill keeps its earlier days. Only
// the folders' flushes, which make the renames durable, wait for the run's end.
class RunFiles : public FileSystem
{
  public:
    explicit RunFiles(FileSystem& fs) : fs_(fs) {}
    ~RunFiles() override
    {
        try {
            fs_.syncDirectories(folders_);
        } catch (...) {
            // Only when the run already fails: its own error says more.
        }
    }
    // At the run's end: a failed flush ends the run naming the folder.
    void finish() { flushFolders(fs_, std::exchange(folders_, {})); }
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;
    bool isDirectory(const std::string& path) override { return fs_.isDirectory(path); }
    void createDirectory(const std::string& path) override { fs_.createDirectory(path); }
    void replaceFile(const std::string& path, std::string_view data) override
    {
        fs_.replaceFile(path, data);
    }
    void stageFile(const std::string& path, std::string_view data) override
    {
        fs_.stageFile(path, data);
    }
    void commitStaged() override { fs_.commitStaged(); }
    bool holdStaged(bool hold) override { return fs_.holdStaged(hold); }
    void dropStaged() override { fs_.dropStaged(); }
    void syncDirectory(const std::string& path) override { folders_.insert(path); }
    void syncDirectories(const std::set<std::string>& folders) override
    {
        folders_.insert(folders.begin(), folders.end());
    }

  private:
    FileSystem& fs_;
    std::set<std::string> folders_;
};

// Loads the packets handed over while a day arrives on a thread of its own, so
// that the tables fill while the server still sends. The run waits for each
// slot in order, so a refused packet is reported as if loaded in sequence.
class EarlyLoader
{
  public:
    // Runs on the loader's thread once a slot is loaded, before the slot counts
    // as done.
    using Loaded = std::function<void(size_t slot)>;

    explicit EarlyLoader(std::array<Table*, 4> tables) : tables_(tables) {}
    ~EarlyLoader()
    {
        {
            std::lock_guard lock(m_);
            stop_ = true;
            queue_.clear();
        }
        ready_.notify_all();
        if (worker_.joinable())
            worker_.join();
    }
    EarlyLoader(const EarlyLoader&) = delete;
    EarlyLoader& operator=(const EarlyLoader&) = delete;

    // Only between days, when every packet handed over has been waited for.
    void startDay(Loaded loaded)
    {
        given_ = {};
        done_ = {};
        errors_ = {};
        loaded_ = std::move(loaded);
    }

    // Drops what is queued and waits for the load under way: a day that failed
    // leaves nothing running.
    void settle()
    {
        std::unique_lock lock(m_);
        for (const auto& q : queue_)
            done_[q.first] = true;
        queue_.clear();
        ready_.wait(lock, [&] {
            for (size_t slot = 0; slot < tables_.size(); ++slot)
                if (given_[slot] && !done_[slot])
                    return false;
            return true;
        });
        loaded_ = nullptr;
    }

    // A slot is taken once; what comes for it again, or for no slot, is dropped
    // (the day's reply check refuses such a reply).
    void handOver(size_t slot, Packet packet)
    {
        {
            std::lock_guard lock(m_);
            if (slot >= tables_.size() || given_[slot])
                return;
            given_[slot] = true;
            queue_.emplace_back(slot, std::move(packet));
            if (!worker_.joinable())
                worker_ = std::thread([this] { work(); });
        }
        ready_.notify_all();
    }

    bool given(size_t slot) const
    {
        std::lock_guard lock(m_);
        return given_[slot];
    }
    // Loads the slot on the calling thread when the worker has not taken it yet,
    // so that a small last packet does not wait behind a large one.
    void loadHere(size_t slot)
    {
        std::unique_lock lock(m_);
        const auto queued = std::find_if(queue_.begin(), queue_.end(),
                                         [&](const auto& q) { return q.first == slot; });
        if (queued == queue_.end())
            return;
        Packet packet = std::move(queued->second);
        queue_.erase(queued);
        load(lock, slot, std::move(packet));
    }

    // Waits for the slot's load; throws what refused it.
    void wait(size_t slot)
    {
        std::unique_lock lock(m_);
        ready_.wait(lock, [&] { return done_[slot]; });
        if (errors_[slot])
            std::rethrow_exception(errors_[slot]);
    }

  private:
    void work()
    {
        // Only advice: where it is refused, the thread keeps its priority.
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kLoaderNice);
        std::unique_lock lock(m_);
        while (true) {
            ready_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            auto [slot, packet] = std::move(queue_.front());
            queue_.pop_front();
            load(lock, slot, std::move(packet));
        }
    }
    // Loads outside the lock, which it takes back to record the outcome.
    void load(std::unique_lock<std::mutex>& lock, size_t slot, Packet packet)
    {
        lock.unlock();
        std::exception_ptr error;
        try {
            tables_[slot]->loadPacket(packet);
            // Its bytes go back before the next packet is taken.
            packet = {};
            if (loaded_)
                loaded_(slot);
        } catch (...) {
            error = std::current_exception();
        }
        packet = {};
        lock.lock();
        errors_[slot] = error;
        done_[slot] = true;
        ready_.notify_all();
    }

    std::array<Table*, 4> tables_;
    mutable std::mutex m_;
    std::condition_variable ready_;
    std::deque<std::pair<size_t, Packet>> queue_;
    std::array<bool, 4> given_{};
    std::array<bool, 4> done_{};
    std::array<std::exception_ptr, 4> errors_{};
    Loaded loaded_;
    bool stop_ = false;
    std::thread worker_;
};

} // namespace

RunSummary runExport(ExportTables& t, const RunRequest& request, const FetchDay& fetch,
                     const PathMap& paths, FileSystem& fs, RunObserver& observer,
                     const MessageTable& messages)
{
    LineList lines;
    RunSummary summary;
    RunFiles files(fs);
    const std::array<Table*, 4> slots{&t.cdsCaixa, &t.cdsDadosDotz, &t.cdsDotzExtra,
                                      &t.cdsConfigDotz};
    EarlyLoader loader(slots);
    const EarlyPacket early = [&loader](size_t slot, Packet packet) {
        loader.handOver(slot, std::move(packet));
    };
    {
        observer.showBusy(kExportAnimation);
        struct Hide
        {
            RunObserver& o;
            ~Hide() { o.hideBusy(); }
        } hide{observer};
        for (Day day = request.from; request.to >= day; day = day.next()) {
            // The sales are in while the items still arrive: their files are
            // written meanwhile, to be put in place once the day passes its checks.
            StagedAhead ahead;
            LineList aheadLines;
            struct DropAhead
            {
                EarlyLoader& loader;
                FileSystem& fs;
                StagedAhead& ahead;
                ~DropAhead()
                {
                    loader.settle();
                    dropAhead(fs, ahead);
                }
            } dropUnused{loader, files, ahead};
            loader.startDay([&, day](size_t slot) {
                if (slot == 1)
                    ahead = stageSalesAhead(t.cdsDadosDotz, day, aheadLines, paths, files);
            });
            // Each packet is let go once its table holds the rows, so that the
            // reply's bytes are gone before the checks and the files.
            DayPackets packets = fetch(request.selector, day, early);
            loader.loadHere(slots.size() - 1);
            for (size_t slot = 0; slot < slots.size(); ++slot) {
                Packet packet = std::exchange(packets[slot], {});
                if (loader.given(slot))
                    loader.wait(slot);
                else
                    slots[slot]->loadPacket(packet);
            }
            Vd_Parceiro(t, request.with515, messages);
            Vd_Diretorio(t, request.with515, messages);
            DayResult written =
                GravaArquivosDotz(t, day, request.with515, lines, paths, files, &ahead);
            // A day counts when it gave at least one file.
            if (!written.files.empty())
                ++summary.daysCounted;
            ++summary.days;
            observer.dayDone(day, t, written);
            summary.files.insert(summary.files.end(),
                                 std::make_move_iterator(written.files.begin()),
                                 std::make_move_iterator(written.files.end()));
        }
        files.finish();
    }
    if (summary.daysCounted < 1)
        throw Refusal(messages.text("NAO_HA_DOTZ"));
    return summary;
}

} // namespace dotz
