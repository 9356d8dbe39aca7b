// The pieces of an unattended run: the state file read strictly, the pending
// period, the metrics file, the preflight's free space.
#include "free_space.h"
#include "in_place.h"
#include "metrics_file.h"
#include "pending.h"
#include "progress_line.h"
#include "state_file.h"
#include "state_lock.h"

#include "tests/support/promtool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;

Day day(const char* iso)
{
    return *Day::parse(iso);
}

struct Folder
{
    fs::path path = fs::temp_directory_path() / ("dotz-cli-test-" + std::to_string(::getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
};

const ExportKey kAll{"http://127.0.0.1:8211", "T", false};
const Day kToday = *Day::parse("2024-04-30");

TEST(StateFile, ABrokenFileIsRefusedNamingItsLine)
{
    const std::string head = "dotz-export-state 1\n";
    const struct
    {
        std::string text;
        const char* why;
    } cases[] = {
        {"", "linha 1: o arquivo está vazio"},
        {head + "2024-03-15 http://h:1 T no-515", "linha 2: a última linha está incompleta"},
        {"dotz-export-state 2\n", "linha 1: esperado"},
        {"# a comment\n2024-03-15 http://h:1 T no-515\n", "linha 2: esperado"},
        {head + "2024-03-15 http://h:1 T\n", "linha 2: esperados 4 campos"},
        {head + "2024-03-15 http://h:1 T no-515 \n", "esperados 4 campos"},
        {head + "2024-03-15  http://h:1 T no-515\n", "esperados 4 campos"},
        {head + "15/03/2024 http://h:1 T no-515\n", "não é uma data AAAA-MM-DD"},
        {head + "2024-02-30 http://h:1 T no-515\n", "não é uma data"},
        {head + "2024-03-15 ftp://h:1 T no-515\n", "http://HOST:PORTA"},
        {head + "2024-03-15 http://h:1 %4 no-515\n", "mal codificada"},
        {head + "2024-03-15 http://h:1 T\tX no-515\n", "mal codificada"},
        {head + "2024-03-15 http://h:1 T yes\n", "515 ou no-515"},
        {head + "2024-03-15 http://h:1 T 515\n2024-03-16 http://h:1 T 515\n",
         "linha 3: a mesma exportação aparece duas vezes"},
        {head + "2024-04-29 http://h:1 T 515\n2024-05-01 http://h:1 T no-515\n",
         ", linha 3: o dia 01/05/2024 está registrado como exportado, mas ainda não chegou; hoje "
         "é 30/04/2024. Só dias terminados são registrados"},
        {head + "2024-04-30 http://h:1 T 515\n",
         ", linha 2: o dia 30/04/2024 está registrado como exportado, mas é hoje, que ainda não "
         "terminou. Só dias terminados são registrados: o relógio (ou o fuso horário) estava "
         "adiantado quando a linha foi gravada, e seguir dela pularia o dia de hoje."},
    };
    for (const auto& c : cases) {
        StateFile state("/srv/state");
        try {
            state.parse(c.text, kToday);
            ADD_FAILURE() << "taken: " << c.text;
        } catch (const StateError& e) {
            const std::string what = e.what();
            EXPECT_TRUE(what.starts_with("Arquivo de estado /srv/state")) << what;
            EXPECT_NE(what.find(c.why), std::string::npos) << what;
        }
    }
}

TEST(StateFile, KeepsEachExportsDayThroughTheFile)
{
    Folder folder;
    const std::string path = (folder.path / "a/b/dotz-export.state").string();
    const ExportKey odd{"https://[::1]:9", "'0 1','A%B','\xC9'", true};
    {
        StateFile state(path);
        state.load(kToday); // none yet
        EXPECT_FALSE(state.lastDay(kAll));
        state.complete(kAll, day("2024-03-15"));
        state.complete(odd, day("2024-03-01"));
        state.complete(kAll, day("2024-03-16"));
    }
    StateFile state(path);
    state.load(kToday);
    EXPECT_EQ(state.lastDay(kAll), day("2024-03-16"));
    EXPECT_EQ(state.lastDay(odd), day("2024-03-01"));
    EXPECT_FALSE(state.lastDay({kAll.server, kAll.selector, true}));
    EXPECT_FALSE(state.lastDay({"http://127.0.0.1:8212", "T", false}));
    // The state is the store's: a day any server of its list recorded counts,
    // whichever of them comes first now.
    EXPECT_EQ(state.lastDay({"http://127.0.0.1:8212", "T", false, {kAll.server}}),
              day("2024-03-16"));
    EXPECT_EQ(state.lastDay({kAll.server, "T", false, {"http://127.0.0.1:8212"}}),
              day("2024-03-16"));
    EXPECT_EQ(fs::directory_iterator(folder.path / "a/b")->path().filename(), "dotz-export.state");
}

TEST(StateFile, WhatIsNotASmallFileIsRefused)
{
    Folder folder;
    StateFile directory(folder.path.string());
    EXPECT_THROW(directory.load(kToday), StateError);
    const fs::path big = folder.path / "big";
    std::ofstream(big) << "dotz-export-state 1\n" << std::string(StateFile::kMaxBytes, '#');
    StateFile state(big.string());
    EXPECT_THROW(state.load(kToday), StateError);
}

// The second run names the holder the lock file names, once it is alive; until
// the holder has written its id, it waits a little for it (or for the lock).
TEST(StateLock, TheSecondRunNamesTheHolder)
{
    Folder folder;
    const std::string state = (folder.path / "state").string();
    const std::string self = std::to_string(::getpid());
    const struct
    {
        std::string now, later; // the lock file's text; `later` 50 ms on, "-" lets go
        std::chrono::milliseconds wait;
        std::string holder; // empty: the lock is taken
    } cases[] = {
        {self + "\n", "", std::chrono::milliseconds(0), self},
        {"", self + "\n", std::chrono::seconds(10), self},
        {"999999999\n", "", std::chrono::milliseconds(100), "de número desconhecido"},
        {self + "x\n", "", std::chrono::milliseconds(100), "de número desconhecido"},
        {"", "", std::chrono::milliseconds(100), "de número desconhecido"},
        {"", "-", std::chrono::seconds(10), ""},
    };
    for (const auto& c : cases) {
        const int held = ::open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        ASSERT_EQ(::write(held, c.now.data(), c.now.size()), static_cast<ssize_t>(c.now.size()));
        std::thread holder([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (c.later == "-")
                ::close(held);
            else
                ASSERT_EQ(::pwrite(held, c.later.data(), c.later.size(), 0),
                          static_cast<ssize_t>(c.later.size()));
        });
        try {
            StateLock lock(state, c.wait);
            EXPECT_EQ(c.holder, "") << c.now;
            holder.join();
        } catch (const StateBusy& e) {
            holder.join();
            EXPECT_NE(std::string(e.what()).find("(processo " + c.holder + ")"), std::string::npos)
                << e.what();
        }
        if (c.later != "-")
            ::close(held);
    }
}

TEST(StateFile, TheDefaultPathIsTheServicesStateElseTheUsers)
{
    const struct
    {
        const char* stateDirectory; // nullptr: not set
        const char* xdgStateHome;
        const char* path;
    } cases[] = {
        {"/var/lib/dotz:/var/lib/x", "/xdg", "/var/lib/dotz/dotz-export.state"},
        {nullptr, "/xdg", "/xdg/krt/dotz-export.state"},
        {"relative", nullptr, "/home/op/.local/state/krt/dotz-export.state"},
        {nullptr, "relative", "/home/op/.local/state/krt/dotz-export.state"},
    };
    std::map<std::string, std::optional<std::string>> saved;
    const auto set = [&](const char* name, const char* value) {
        if (!saved.count(name))
            saved[name] =
                std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    };
    set("HOME", "/home/op");
    for (const auto& c : cases) {
        set("STATE_DIRECTORY", c.stateDirectory);
        set("XDG_STATE_HOME", c.xdgStateHome);
        EXPECT_EQ(StateFile::defaultPath(), c.path);
    }
    for (const auto& [name, value] : saved)
        set(name.c_str(), value ? value->c_str() : nullptr);
}

TEST(PendingFrom, StartsAfterTheLastDayOrAtToAndBoundsTheBacklog)
{
    // The C library counts months from 0.
    const auto isoNow = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char iso[16];
        std::strftime(iso, sizeof iso, "%Y-%m-%d", &local);
        return std::string(iso);
    };
    const std::string before = isoNow(), today = localToday().iso();
    EXPECT_TRUE(today == before || today == isoNow()) << today; // midnight may pass between
    StateFile state("/srv/state");
    const Day to = day("2024-03-31");
    EXPECT_EQ(pendingFrom(state, kAll, to, 31), to); // no state: the last day only
    state.parse("dotz-export-state 1\n2024-03-31 http://127.0.0.1:8211 T no-515\n", kToday);
    EXPECT_FALSE(pendingFrom(state, kAll, to, 31));
    EXPECT_EQ(pendingFrom(state, kAll, day("2024-04-01"), 31), day("2024-04-01"));
    state.parse("dotz-export-state 1\n2024-02-29 http://127.0.0.1:8211 T no-515\n", kToday);
    EXPECT_EQ(pendingFrom(state, kAll, to, 31), day("2024-03-01"));
    try {
        pendingFrom(state, kAll, to, 30);
        ADD_FAILURE();
    } catch (const LastingError& e) {
        EXPECT_NE(std::string(e.what()).find("--from pending --to 31/03/2024 --max-days 31"),
                  std::string::npos)
            << e.what();
    }
}

// Two days on two file systems of 4 KiB blocks. /mnt/a holds LOJA0001's folder
// and a 4000-byte file that the first day replaces: that day needs 3 blocks at
// once there (5000 bytes and the staging) and leaves 1; the second 2 more. /mnt/b
// gets LOJA0002's two folders: the first day needs 4 blocks and 3 inodes (100
// bytes, the staging, the folders) and leaves 3 blocks; the second 2 more and an
// inode.
TEST(FreeSpace, ADayThatDoesNotFitAtOnceIsRefused)
{
    Folder folder;
    const fs::path a = folder.path / "a/DOTZ/LOJA0001", b = folder.path / "b";
    fs::create_directories(a);
    fs::create_directories(b);
    std::ofstream(a / "f1") << std::string(4000, 'x');
    const std::string shortA = "em /mnt/a: faltam 4096 bytes (há 8192 livres; o dia precisa de "
                               "12288 de uma vez)";
    const std::string fewInodes = "falta 1 inode (há 2 livres; o dia precisa de 3)";
    const std::string cannot = "não foi possível ver o espaço livre em " + b.string();
    const struct
    {
        std::uint64_t aBlocks, bBlocks, bInodes;
        bool bCounts; // b has a fixed number of inodes
        std::string first, second;
    } cases[] = {
        {3, 5, 4, true, "", ""},
        {2, 5, 4, true, "sem espaço para os arquivos de 15/03/2024 " + shortA + ".", ""},
        {3, 4, 4, true, "",
         "sem espaço para os arquivos de 16/03/2024 em /mnt/b: faltam 4096 bytes (há 16384 "
         "livres, e os dias anteriores do período ocupariam 12288; o dia precisa de 8192 de uma "
         "vez)."},
        {3, 5, 2, true, "sem espaço para os arquivos de 15/03/2024 em /mnt/b: " + fewInodes + ".",
         "sem espaço para os arquivos de 16/03/2024 em /mnt/b: " + fewInodes + "."},
        {3, 5, 2, false, "", ""},
        {2, 3, 2, true,
         "sem espaço para os arquivos de 15/03/2024 " + shortA +
             "; em /mnt/b: faltam 4096 bytes (há 12288 livres; o dia precisa de 16384 de uma "
             "vez) e " +
             fewInodes + ".",
         "sem espaço para os arquivos de 16/03/2024 em /mnt/b: faltam 4096 bytes (há 12288 "
         "livres; o dia precisa de 16384 de uma vez) e " +
             fewInodes + "."},
        {3, 0, 0, true, cannot, cannot},
    };
    for (const auto& c : cases) {
        std::vector<DayCheck> days = {
            {day("2024-03-15"),
             false,
             false,
             {},
             {{500, "0001", "", (a / "f1").string(), 1, 5000},
              {500, "0002", "", (b / "DOTZ/LOJA0002/f2").string(), 1, 100}}},
            {day("2024-03-16"),
             false,
             false,
             {},
             {{500, "0001", "", (a / "f3").string(), 1, 4096},
              {500, "0002", "", (b / "DOTZ/LOJA0002/f4").string(), 1, 100}}},
        };
        checkFreeSpace(days, [&](const std::string& at) {
            if (at == a.string())
                return FreeSpace{1, "/mnt/a", 4096, c.aBlocks, 100, true};
            if (c.bBlocks == 0 || at != b.string())
                throw Error(cannot);
            return FreeSpace{2, "/mnt/b", 4096, c.bBlocks, c.bInodes, c.bCounts};
        });
        for (size_t i = 0; i < 2; ++i) {
            const std::string& refusal = i == 0 ? c.first : c.second;
            EXPECT_EQ(days[i].refused, !refusal.empty()) << c.aBlocks << c.bBlocks << c.bInodes;
            EXPECT_EQ(days[i].refusal, refusal);
            EXPECT_FALSE(days[i].lasting);
        }
    }
}

TEST(MetricsFile, AFailedRunKeepsTheLastSuccess)
{
    RunRecord ok{.started = 1000,
                 .ended = 1060.5,
                 .exitCode = 0,
                 .days = 2,
                 .files = 6,
                 .records = 120,
                 .lastDay = day("2024-03-16")};
    ok.lookedBack = true;
    ok.lookBackFiles = 2;
    const std::string first = metricsText(ok, {});
    EXPECT_NE(first.find("\ndotz_export_look_back_differing_files 2\n"), std::string::npos);
    EXPECT_NE(first.find("\ndotz_export_last_success_timestamp_seconds 1060.5\n"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("\ndotz_export_last_run_duration_seconds 60.5\n"), std::string::npos);
    EXPECT_NE(first.find("\ndotz_export_last_run_records 120\n"), std::string::npos);
    if (const auto verdict = testing::promtoolCheckMetrics(first)) {
        EXPECT_TRUE(verdict->passed) << verdict->output;
    }

    RunRecord failed;
    failed.started = 2000;
    failed.ended = 2001;
    failed.exitCode = 1;
    const std::string second = metricsText(failed, carriedFigures(first));
    EXPECT_NE(second.find("\ndotz_export_last_success_timestamp_seconds 1060.5\n"),
              std::string::npos)
        << second;
    EXPECT_NE(second.find("\ndotz_export_last_completed_day_timestamp_seconds " +
                          std::to_string(static_cast<long long>(unixTime(day("2024-03-16")))) +
                          "\n"),
              std::string::npos);
    EXPECT_NE(second.find("\ndotz_export_last_run_success 0\n"), std::string::npos);
    EXPECT_EQ(second.find("look_back"), std::string::npos); // a run that did not look back

    // A file that is not ours carries nothing.
    const CarriedFigures foreign =
        carriedFigures("dotz_export_last_success_timestamp_seconds 12x\n"
                       "dotz_export_last_completed_day_timestamp_seconds -5\n");
    EXPECT_FALSE(foreign.lastSuccess);
    EXPECT_FALSE(foreign.lastDay);
}

// The lines an operator reads of a day set against its folders, and of a day under way.
TEST(InPlaceText, NamesTheFirstBranchesAndCountsTheRest)
{
    const auto file = [](const char* branch, int type) {
        return WrittenFile{type, branch, {}, std::string("/f/") + branch + std::to_string(type),
                           1,    1};
    };
    const std::vector<WrittenFile> five = {file("0001", 500), file("0001", 510), file("0002", 500),
                                           file("0003", 510), file("0004", 500)};
    using I = InPlace;
    struct Case
    {
        std::vector<WrittenFile> files;
        std::vector<InPlace> inPlace;
        std::vector<WrittenFile> left;
        std::string text;
    } cases[] = {
        {{file("0001", 500)}, {I::Equal}, {}, "1 arquivo; igual ao da pasta."},
        {five,
         {I::Differs, I::Differs, I::Differs, I::Differs, I::New},
         {},
         "5 arquivos; 4 diferentes (filiais 0001: 500 e 510; 0002: 500; 0003: 510), 1 novo, sem "
         "arquivo na pasta (filial 0004: 500)."},
        {five,
         {I::Differs, I::Equal, I::Differs, I::Differs, I::Differs},
         {},
         "5 arquivos; 1 igual ao da pasta, 4 diferentes (filiais 0001: 500; 0002: 500; 0003: 510 "
         "e mais 1)."},
        {{file("0001", 500)},
         {I::Equal},
         {file("0009", 510)},
         "1 arquivo; 1 igual ao da pasta, 1 na pasta que o dia não gera mais, deixado como está "
         "(filial 0009: 510)."},
        {{},
         {},
         {file("0009", 510), file("0009", 500)},
         "nada a gravar (não há pontos DOTZ no dia); 2 na pasta que o dia não gera mais, deixados "
         "como estão (filial 0009: 510 e 500)."},
    };
    for (const Case& c : cases) {
        DayCheck d{day("2024-03-15"), false, false, {}, c.files, c.inPlace, c.left};
        EXPECT_EQ(comparisonText(d), c.text);
    }

    DayProgress p{day("2024-03-15"), 200, 2, 2, 50};
    EXPECT_DOUBLE_EQ(p.fraction(), 0.625);
    EXPECT_EQ(progressText(p, 85'300'000, 2),
              "15/03/2024: 50 de 200 filiais (itens); 85,3 MB recebidos, 42,6 MB/s");
    EXPECT_EQ(progressText(std::nullopt, 1'000'000, 0), "1,0 MB recebidos");
}

// The progress line only on a terminal, where it gives way to the day's line.
TEST(TerminalProgress, RewritesItsLineOnATerminalOnly)
{
    for (const bool terminal : {true, false}) {
        std::ostringstream out;
        TerminalProgress line(out, terminal);
        line.progress({day("2024-03-15"), 2, 1, 2, 1});
        line.received(2'000'000); // within the quarter second: not shown
        DayResult r;
        r.rows = {1, 3, 2, 0};
        r.files.resize(2);
        line.dayDone(day("2024-03-15"), r);
        line.received(3'000'000); // the next day's call: its rate starts now
        EXPECT_EQ(out.str(), terminal ? "\r15/03/2024: 1 de 2 filiais (vendas); 0,0 MB "
                                        "recebidos\x1b[K\r\x1b[K15/03/2024: 3 vendas, 2 itens, 0 "
                                        "produtos em promoção; 2 arquivos\n\r3,0 MB "
                                        "recebidos\x1b[K"
                                      : "");
    }
}

} // namespace
} // namespace dotz
