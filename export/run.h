#pragma once
// The export run: the period day by day, one server call per day, checks, files.
#include "base/day_fetch.h"
#include "day_progress.h"
#include "day_writer.h"
#include "messages.h"

#include <array>
#include <exception>
#include <functional>
#include <string>

namespace dotz {

// The run was asked to stop (a signal) and did, before the next day's call.
// Not a failure of the data: a check that collects each day's failures lets it pass.
class Stopped : public std::exception
{
  public:
    const char* what() const noexcept override { return "run stopped on request"; }
};

// What a front end shows while a run goes on.
class RunObserver : public ProgressReceiver
{
  public:
    virtual void showBusy(int kind) = 0;
    virtual void hideBusy() = 0;
    // The day's rows are all read, before its checks: what they left summed up.
    virtual void dayRead(Day, const DaySummary&) {}
    // The day's files are in place and their folders flushed: whatever ends the
    // run later, they stay. Before the next call.
    virtual void dayDone(Day, const DayResult&) {}
    // How far the day under way is, as its rows load: on the loading thread, as
    // often as a branch's rows end; a front end keeps what it shows to its pace.
    void progress(const DayProgress&) override {}
};

struct RunRequest
{
    std::string selector; // "T" or the branch list text
    Day from;
    Day to;
    bool with515 = false;
    bool tills = false; // each day's till list kept for dayRead
};

struct RunSummary
{
    int daysCounted = 0;
    int days = 0;
    std::vector<WrittenFile> files;
};

// Walks the days from `from` to `to`, both included. Each day's rows stream
// into its files as they arrive (day_writer.h); when its reply is in,
// Vd_Parceiro and Vd_Diretorio check its branches and GravaArquivosDotz puts its
// files in place, before the next day's call.
// A day counts when at least one DOTZ file was written for it; with none
// counted the run ends with the "NAO_HA_DOTZ" Refusal. Any failure ends the run
// unchanged, after the busy indication has been hidden; the earlier days' files
// stay, and of the day it ends in only whole files.
RunSummary runExport(const RunRequest& request, const FetchDay& fetch, const PathMap& paths,
                     FileSystem& fs, RunObserver& observer,
                     const MessageTable& messages = dotzMessages());

} // namespace dotz
