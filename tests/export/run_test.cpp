#include "base/branch_list.h"
#include "export/checks.h"
#include "export/day_placing.h"
#include "export/run.h"
#include "tests/support/export_tables.h"
#include "tests/support/packet_json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;

using testing::packetOf;

struct Recorder : RunObserver
{
    std::vector<std::string> events;
    void showBusy(int kind) override { events.push_back("show " + std::to_string(kind)); }
    void hideBusy() override { events.push_back("hide"); }
    void dayDone(Day d, const DayResult& r) override
    {
        events.push_back(d.iso() + " " + std::to_string(r.files.size()));
    }
};

class RunTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() /
                ("dotz-run-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        paths_.set("C", root_.string());
    }
    void TearDown() override { fs::remove_all(root_); }

    // A day with one sale of branch 0001, unless the day is in `empty`; on
    // `unconfigured`, a second of branch 0002 lacks its partner code.
    // The slots in `handOver` go to the run's early loader, as a streamed reply does.
    FetchDay server(std::vector<std::string> empty = {}, std::string unconfigured = {},
                    bool itemsOnly = false, std::vector<size_t> handOver = {})
    {
        return [=, this](const std::string& selector, Day day, const EarlyPacket& early) {
            calls_.push_back(selector + " " + day.iso());
            ExportTables t;
            const bool none = std::find(empty.begin(), empty.end(), day.iso()) != empty.end();
            if (!none && !itemsOnly)
                t.cdsDadosDotz.appendRow({"0001", "003", "1", "", "OP", day.iso(), "10:00:00", 1.5,
                                          "", "4321", "C:\\", 1});
            if (day.iso() == unconfigured)
                t.cdsDadosDotz.appendRow(
                    {"0002", "003", "1", "", "OP", day.iso(), "10:00:00", 1.5, "", "", "C:\\", 1});
            if (!none && itemsOnly)
                t.cdsDotzExtra.appendRow(
                    {"0001", "003", "1", "", "P", 1, 1, 1, "", "", "4321", "C:\\", 1});
            DayPackets packets{packetOf(t.cdsCaixa), packetOf(t.cdsDadosDotz),
                               packetOf(t.cdsDotzExtra), packetOf(t.cdsConfigDotz)};
            for (size_t slot : handOver)
                early(slot, std::exchange(packets[slot], {}));
            return packets;
        };
    }
    RunSummary run(const FetchDay& fetch, const char* from, const char* to,
                   const Syscalls& calls = realSyscalls())
    {
        PosixFileSystem posix(calls);
        return runExport({"T", *Day::parse(from), *Day::parse(to), false}, fetch, paths_, posix,
                         observer_);
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        if (fs::exists(root_ / "DOTZ"))
            for (const auto& e : fs::directory_iterator(root_ / "DOTZ"))
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root_;
    PathMap paths_;
    Recorder observer_;
    std::vector<std::string> calls_;
};

TEST_F(RunTest, OneCallPerDayInOrderWithTheSameSelector)
{
    const RunSummary s = run(server({}, {}, false, {1, 3}), "2024-02-27", "2024-03-04");
    EXPECT_EQ(calls_, (std::vector<std::string>{"T 2024-02-27", "T 2024-02-28", "T 2024-02-29",
                                                "T 2024-03-01", "T 2024-03-02", "T 2024-03-03",
                                                "T 2024-03-04"}));
    EXPECT_EQ(s.daysCounted, 7);
    EXPECT_EQ(files().size(), 7u);
    EXPECT_EQ(observer_.events.front(), "show 6");
    EXPECT_EQ(observer_.events.back(), "hide");

    calls_.clear();
    run(server(), "2024-03-15", "2024-03-15");
    EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(RunTest, EachDaysFilesAreInPlaceBeforeTheNextCall)
{
    std::vector<size_t> seen;
    const FetchDay fetch = [&, good = server()](const std::string& s, Day d,
                                                const EarlyPacket& early) {
        seen.push_back(files().size());
        return good(s, d, early);
    };
    run(fetch, "2024-03-01", "2024-03-04");
    EXPECT_EQ(seen, (std::vector<size_t>{0, 1, 2, 3}));
}

TEST_F(RunTest, ACheckFailingOnTheThirdDayKeepsTheFirstTwoDays)
{
    // Refused, the day takes away the folder it made for the branch staged before.
    EXPECT_THROW(run(server({}, "2024-03-03"), "2024-03-03", "2024-03-03"), Refusal);
    EXPECT_FALSE(fs::exists(root_ / "DOTZ"));
    calls_.clear();
    try {
        run(server({}, "2024-03-03"), "2024-03-01", "2024-03-05");
        FAIL() << "no refusal";
    } catch (const Refusal& r) {
        EXPECT_NE(r.cp1252().find("\r0002."), std::string::npos);
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"20240301_4321_0001_500_1.txt",
                                                 "20240302_4321_0001_500_1.txt"}));
    EXPECT_EQ(calls_.size(), 3u);
    EXPECT_EQ(observer_.events.back(), "hide");
}

int failingFolderFsync(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

// A day's folders are flushed before it is done; a failure there ends the run
// naming the folder and the day's files, which stay, and the day is not done.
TEST_F(RunTest, AFailedFolderFlushEndsTheRunBeforeTheDayIsDone)
{
    Syscalls calls = realSyscalls();
    calls.fsync = failingFolderFsync;
    try {
        run(server(), "2024-03-01", "2024-03-02", calls);
        FAIL() << "no error";
    } catch (const PartlyPlaced& e) {
        EXPECT_NE(std::string(e.what()).find("levar ao disco a pasta " + root_.string()),
                  std::string::npos)
            << e.what();
        EXPECT_EQ(e.day().iso(), "2024-03-01");
        EXPECT_EQ(e.placedText(), "o arquivo do dia está no lugar");
    }
    EXPECT_EQ(files().size(), 1u);
    EXPECT_EQ(observer_.events, (std::vector<std::string>{"show 6", "hide"}));
}

TEST_F(RunTest, AServerFailurePassesOnUnchanged)
{
    FetchDay failing = [good = server({}, {}, false, {1})](const std::string& s, Day d,
                                                           const EarlyPacket& early) {
        DayPackets packets = good(s, d, early).packets;
        if (d.iso() == "2024-03-02")
            throw Abort();
        return packets;
    };
    EXPECT_THROW(run(failing, "2024-03-01", "2024-03-03"), Abort);
    EXPECT_EQ(files().size(), 1u);
    EXPECT_EQ(observer_.events.back(), "hide");
}

TEST_F(RunTest, RefusedPacketsAreReportedInSlotOrderWhereverTheyLoaded)
{
    const FetchDay fetch = [](const std::string&, Day, const EarlyPacket& early) {
        early(2, Packet::fromJson("{}"));
        early(2, Packet::fromJson("{}")); // a slot taken twice keeps the first
        early(4, Packet::fromJson("{}")); // the first past the four
        early(7, Packet::fromJson("{}"));
        return DayPackets{packetOf(makeCdsCaixa()), Packet::fromJson("[]"), Packet(),
                          packetOf(makeCdsConfigDotz())};
    };
    try {
        run(fetch, "2024-03-01", "2024-03-01");
        FAIL() << "no refusal";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("tabela cdsDadosDotz"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(RunTest, NothingToExportIsRefusedAfterTheAnimationStops)
{
    try {
        run(server({"2024-03-01", "2024-03-02"}), "2024-03-01", "2024-03-02");
        FAIL() << "no refusal";
    } catch (const Refusal& r) {
        EXPECT_EQ(r.cp1252(),
                  "Opera\xE7\xE3o bloqueada. N\xE3o h\xE1 pontos DOTZ a serem exportados.");
    }
    EXPECT_EQ(observer_.events.back(), "hide");
    EXPECT_TRUE(files().empty());
}

TEST_F(RunTest, ADayWithOnlyItemFilesCounts)
{
    const RunSummary s = run(server({}, {}, true), "2024-03-01", "2024-03-01");
    EXPECT_EQ(s.daysCounted, 1);
    EXPECT_EQ(files(), std::vector<std::string>{"20240301_4321_0001_510_1.txt"});
}

// Rows streamed from a packet whose marks prove wrong at its end come again,
// read whole: the files hold them once, as from the packet without the fault.
TEST_F(RunTest, APacketReadAgainWholeGivesItsRowsOnce)
{
    ExportTables t;
    for (const char* branch : {"A", "A", "B", "B"})
        t.cdsDadosDotz.appendRow(
            {branch, "003", "1", "", "OP", "2024-03-01", "10:00:00", 1.5, "", "4321", "C:\\", 1});
    std::string json = testing::packetJson(t.cdsDadosDotz);
    const auto fetch = [&](bool trailing) {
        return [&, trailing](const std::string&, Day, const EarlyPacket& early) {
            std::string sent = json;
            if (trailing) // a key after the rows: no longer the form the marks rely on
                sent.insert(sent.size() - 1, ",\"x\":1");
            early(1, testing::arrivedPacket(sent));
            return DayPackets{packetOf(t.cdsCaixa), Packet(), packetOf(t.cdsDotzExtra),
                              packetOf(t.cdsConfigDotz)};
        };
    };
    run(fetch(false), "2024-03-01", "2024-03-01");
    std::vector<std::string> once;
    for (const std::string& name : files())
        once.push_back(name + std::to_string(fs::file_size(root_ / "DOTZ" / name)));
    fs::remove_all(root_ / "DOTZ");
    run(fetch(true), "2024-03-01", "2024-03-01");
    std::vector<std::string> again;
    for (const std::string& name : files())
        again.push_back(name + std::to_string(fs::file_size(root_ / "DOTZ" / name)));
    EXPECT_EQ(again, once);
    EXPECT_EQ(once.size(), 2u);
}

TEST(BranchList, QuotesEachCodeAndDoublesInnerQuotes)
{
    EXPECT_EQ(branchListText({"0001", "0002"}), "'0001','0002'");
    EXPECT_EQ(branchListText({"T"}), "'T'");
    EXPECT_EQ(branchListText({"O'B"}), "'O''B'");
}

TEST(BranchList, ReadingStopsAtTheFirstFaultWithWhereItIs)
{
    using Fault = BranchListReading::Fault;
    const struct
    {
        const char* text;
        size_t codes;
        Fault fault;
        size_t at;
    } cases[] = {
        {"", 0, Fault::None, 0},
        {"'O''B',''", 2, Fault::None, 0},
        {"'a',x", 1, Fault::QuoteExpected, 4},
        {"'a','b", 1, Fault::Unclosed, 4},
        {"'a'x", 1, Fault::CommaExpected, 3},
        {"'a',", 1, Fault::TrailingComma, 3},
    };
    for (const auto& c : cases) {
        const BranchListReading r = readBranchList(c.text);
        EXPECT_EQ(r.codes.size(), c.codes) << c.text;
        EXPECT_EQ(r.fault, c.fault) << c.text;
        EXPECT_EQ(r.at, c.at) << c.text;
    }
    EXPECT_EQ(readBranchList("'O''B'").codes.at(0).code, "O'B");
}

} // namespace
} // namespace dotz
