// The bytes of a GetPrincipal reply body, cut into packets as they arrive (in
// pieces whose size the first byte picks), through the envelope check, every
// packet's loading, the day's checks and the writer, on a file system held in
// memory. Refusals are the expected outcome of most inputs; anything else that
// escapes (or a sanitizer report) is a finding, and so is a reply whose packets
// all load when it is read whole, but that reads otherwise as it arrives, or
// loads otherwise a piece of rows at a time. (Read whole, the inside of a packet
// is not looked at until it loads.) The reply cut short (at each packet's end
// and in the middle of its rows), streamed to the run while it arrives, must be
// refused as the same bytes read whole are. A reply the run writes gives the
// same files as its packets loaded whole into tables.
#include "connection/principal_reply.h"
#include "connection/reply_stream.h"
#include "export/run.h"
#include "tests/support/loaded_day.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace {

using namespace dotz;

class MemoryFileSystem final : public FileSystem
{
  public:
    bool isDirectory(const std::string& path) override
    {
        return path == kRoot || folders_.count(path) > 0;
    }
    void createDirectory(const std::string& path) override { folders_.insert(path); }
    void replaceFile(const std::string& path, std::string_view data) override
    {
        files_[path] = std::string(data);
    }
    void syncDirectory(const std::string&) override {}
    const std::map<std::string, std::string>& files() const { return files_; }

    static constexpr const char* kRoot = "/dotz";

  private:
    std::set<std::string> folders_;
    std::map<std::string, std::string> files_;
};

class Quiet final : public RunObserver
{
  public:
    void showBusy(int) override {}
    void hideBusy() override {}
};

} // namespace

using RowCounts = std::array<size_t, 4>;

// The four packets loaded into `t`; throws the first refusal.
RowCounts loadAll(const DayPackets& packets, ExportTables& t)
{
    t.cdsCaixa.loadPacket(packets[0]);
    t.cdsDadosDotz.loadPacket(packets[1]);
    t.cdsDotzExtra.loadPacket(packets[2]);
    t.cdsConfigDotz.loadPacket(packets[3]);
    return {t.cdsCaixa.rowCount(), t.cdsDadosDotz.rowCount(), t.cdsDotzExtra.rowCount(),
            t.cdsConfigDotz.rowCount()};
}
RowCounts loadAll(const DayPackets& packets)
{
    ExportTables t;
    return loadAll(packets, t);
}

// The files the writer gives from the packets loaded whole into tables.
std::map<std::string, std::string> writtenFromTables(const DayPackets& packets, Day day,
                                                     const PathMap& paths)
{
    ExportTables t;
    loadAll(packets, t);
    MemoryFileSystem fs;
    LineList lines;
    writeLoadedDay(t, day, true, lines, paths, fs);
    return fs.files();
}

// The packets of a reply read whole, when they all load, and where each ends.
bool wholeReply(const uint8_t* data, size_t size, Day day, DayPackets& packets, RowCounts& rows,
                std::vector<size_t>& ends)
{
    auto reply = std::make_shared<std::string>(reinterpret_cast<const char*>(data), size);
    reply->append(Packet::kPadding, ' ');
    const char* base = reply->data();
    try {
        packets = dayPackets(
            CheckServerResult(readReply(std::move(reply), size, 1, "F"), true, 0, nullptr), day);
        for (const Packet& p : packets)
            ends.push_back(static_cast<size_t>(p.json().data() - base) + p.json().size());
        rows = loadAll(packets);
        return true;
    } catch (const Error&) {
        return false;
    }
}

// Cut as it arrives with row marks `markEvery` bytes apart, a reply whose packets
// load whole loads alike a piece of rows at a time.
void loadsInPieces(const uint8_t* data, size_t size, size_t markEvery, const RowCounts& whole)
{
    DayPackets marked;
    ReplyStream stream([&marked](size_t i, Packet p) { marked[i] = std::move(p); }, marked.size(),
                       kDefaultMaxReplyBytes, markEvery);
    if (!stream.feed(reinterpret_cast<const char*>(data), size))
        std::abort();
    for (const Packet& p : marked)
        if (p.isNull())
            return;
    try {
        if (loadAll(marked) != whole)
            std::abort();
    } catch (const Error&) {
        std::abort();
    }
}

// How a run over a reply's first bytes ends: its error, or the files it leaves.
struct Outcome
{
    std::string error;
    std::map<std::string, std::string> files;
    bool operator==(const Outcome&) const = default;
};

template <class Fetch> Outcome runDay(Day day, const Fetch& fetch)
{
    PathMap paths;
    paths.setDrive('C', MemoryFileSystem::kRoot);
    MemoryFileSystem fs;
    Quiet quiet;
    try {
        runExport({"T", day, day, true}, fetch, paths, fs, quiet);
    } catch (const Error& e) {
        return {std::string("error: ") + e.what(), {}};
    } catch (const Abort&) {
        return {"abort", {}};
    }
    return {{}, fs.files()};
}

// The reply's first `length` bytes read whole, then run.
Outcome readWhole(const uint8_t* data, size_t length, Day day)
{
    return runDay(day, [&](const std::string&, Day, const EarlyPacket&) {
        auto reply = std::make_shared<std::string>(reinterpret_cast<const char*>(data), length);
        reply->append(Packet::kPadding, ' ');
        return dayPackets(
            CheckServerResult(readReply(std::move(reply), length, 1, "F"), true, 0, nullptr), day);
    });
}

// The same bytes as they arrive, `piece` at a time: each packet goes to the run
// as soon as its first row is in, and its rows are written while the rest comes.
Outcome streamed(const uint8_t* data, size_t length, size_t piece, size_t markEvery, Day day)
{
    return runDay(day, [&](const std::string&, Day, const EarlyPacket& early) {
        ReplyStream stream(early, 4, kDefaultMaxReplyBytes, markEvery,
                           ReplyStream::Handover::WhileArriving);
        for (size_t at = 0; at < length; at += piece)
            if (!stream.feed(reinterpret_cast<const char*>(data) + at,
                             std::min(piece, length - at)))
                throw ConnectionError(stream.error());
        return dayPackets(CheckServerResult(stream.finish(1, "F"), true, 0, nullptr), day);
    });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Day day = *Day::fromYmd(2024, 3, 15);
    DayPackets whole;
    RowCounts wholeRows{};
    std::vector<size_t> ends;
    const bool wholeTaken = wholeReply(data, size, day, whole, wholeRows, ends);
    const size_t piece = size ? 1 + data[0] % 64 : 1;
    const size_t markEvery = size > 1 ? 1 + data[1] % 256 : 1;
    if (wholeTaken)
        loadsInPieces(data, size, markEvery, wholeRows);
    DayPackets early;
    ReplyStream stream([&early](size_t i, Packet p) { early[i] = std::move(p); }, early.size(),
                       kDefaultMaxReplyBytes, markEvery);
    bool fed = true;
    for (size_t at = 0; fed && at < size; at += piece)
        fed = stream.feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at));

    PathMap paths;
    paths.setDrive('C', MemoryFileSystem::kRoot);
    MemoryFileSystem fs;
    Quiet quiet;
    bool streamTaken = false;
    try {
        if (!fed)
            throw Error(stream.error());
        DayPackets packets =
            dayPackets(CheckServerResult(stream.finish(1, "F"), true, 0, nullptr), day);
        for (size_t i = 0; i < packets.size(); ++i) {
            const Packet& got = early[i].isNull() ? packets[i] : early[i];
            if (wholeTaken && got.json() != whole[i].json())
                std::abort();
        }
        streamTaken = true;
        runExport(
            {"T", day, day, true},
            [&](const std::string&, Day, const EarlyPacket& handOver) {
                for (size_t i = 0; i < early.size(); ++i)
                    if (!early[i].isNull())
                        handOver(i, std::exchange(early[i], {}));
                return packets;
            },
            paths, fs, quiet);
        // Streamed, texts stay where they arrived; loaded whole into tables, they
        // are copied in: the files are the same.
        if (wholeTaken && writtenFromTables(whole, day, paths) != fs.files())
            std::abort();
    } catch (const Error&) {
        if (wholeTaken && !streamTaken)
            std::abort();
    } catch (const Abort&) {
    }

    // Cut at each packet's end and in the middle of its rows (or, when the reply
    // does not read, where the third byte says): streamed, the cut reply is
    // refused as it is read whole.
    std::vector<size_t> cuts;
    if (wholeTaken) {
        for (size_t i = 0; i < ends.size(); ++i) {
            cuts.push_back(ends[i] - whole[i].json().size() / 2);
            cuts.push_back(ends[i]);
        }
    } else if (size > 2) {
        cuts.push_back(size * data[2] / 256);
    }
    for (size_t cut : cuts) {
        if (cut >= size)
            continue;
        const Outcome read = readWhole(data, cut, day);
        if (read.error.empty())
            continue; // the first bytes make a reply of their own
        // A reply that reads whole is refused alike when cut. One that does not
        // may meet another of its faults first (a stray byte in a packet handed
        // over before the cut), but is refused all the same.
        const Outcome got = streamed(data, cut, piece, markEvery, day);
        if (wholeTaken ? got != read : got.error.empty())
            std::abort();
    }
    return 0;
}
