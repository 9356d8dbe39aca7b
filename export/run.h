#pragma once
// The export run: the period day by day, one server call per day, checks, files.
#include "day_writer.h"
#include "messages.h"
#include "packet.h"

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

// A day's call failed where another server may answer, and the fetch has
// turned to that server: the day starts over, what it staged dropped. A fetch
// throws it at most once per server and day, so the day ends.
class RetryDay : public std::exception
{
  public:
    const char* what() const noexcept override { return "day retried on another server"; }
};

// One day's four packets, in slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra, cdsConfigDotz.
using DayPackets = std::array<Packet, 4>;
// Takes a packet of the day (its slot, the packet) before the whole day has arrived.
using EarlyPacket = std::function<void(size_t slot, Packet packet)>;
// Fetches one day (the server call and its reply check); throws to end the run.
// It may hand each packet to `early` as soon as it is in, so that it loads while
// the rest arrives; a slot handed over is loaded from what was handed over, and
// what the fetch returns in it is ignored.
using FetchDay =
    std::function<DayPackets(const std::string& selector, Day day, const EarlyPacket& early)>;

// What a front end shows while a run goes on.
class RunObserver
{
  public:
    virtual ~RunObserver() = default;
    virtual void showBusy(int kind) = 0;
    virtual void hideBusy() = 0;
    // The day's files are in place and their folders flushed: whatever ends the
    // run later, they stay. Before the next call.
    virtual void dayDone(Day, const DayResult&) {}
};

struct RunRequest
{
    std::string selector; // "T" or the branch list text
    Day from;
    Day to;
    bool with515 = false;
};

struct RunSummary
{
    int daysCounted = 0;
    int days = 0;
    std::vector<WrittenFile> files;
};

// Walks the days from `from` to `to`, both included. Each day's rows stream
// into its files as they arrive (day_writer.h); the day's checks are decided
// when its reply is in, and its files go in place before the next day's call.
// A day counts when at least one DOTZ file was written for it; with none
// counted the run ends with the "NAO_HA_DOTZ" Refusal. Any failure ends the run
// unchanged, after the busy indication has been hidden; the earlier days' files
// stay, and of the day it ends in only whole files.
RunSummary runExport(const RunRequest& request, const FetchDay& fetch, const PathMap& paths,
                     FileSystem& fs, RunObserver& observer,
                     const MessageTable& messages = dotzMessages());

} // namespace dotz
