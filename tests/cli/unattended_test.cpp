// The pieces of an unattended run: the state file read strictly, the pending
// period, the metrics file.
#include "metrics_file.h"
#include "pending.h"
#include "state_file.h"

#include "tests/support/promtool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

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
        {head + "2024-04-30 http://h:1 T 515\n2024-05-01 http://h:1 T no-515\n",
         "linha 3: o dia 01/05/2024 ainda não chegou; hoje é 30/04/2024"},
    };
    for (const auto& c : cases) {
        StateFile state("/srv/state");
        try {
            state.parse(c.text, kToday);
            ADD_FAILURE() << "taken: " << c.text;
        } catch (const StateError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("Arquivo de estado /srv/state danificado"), std::string::npos);
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

TEST(MetricsFile, AFailedRunKeepsTheLastSuccess)
{
    RunRecord ok{.started = 1000,
                 .ended = 1060.5,
                 .exitCode = 0,
                 .days = 2,
                 .files = 6,
                 .records = 120,
                 .lastDay = day("2024-03-16")};
    const std::string first = metricsText(ok, {});
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

    // A file that is not ours carries nothing.
    const CarriedFigures foreign =
        carriedFigures("dotz_export_last_success_timestamp_seconds 12x\n"
                       "dotz_export_last_completed_day_timestamp_seconds -5\n");
    EXPECT_FALSE(foreign.lastSuccess);
    EXPECT_FALSE(foreign.lastDay);
}

} // namespace
} // namespace dotz
