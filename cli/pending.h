#pragma once
// What an unattended run adds around the export: the period still pending
// after the state's last day, and a record of the days the run completed.
#include "state_file.h"

#include "export/day_placing.h"
#include "export/run.h"

#include <functional>
#include <optional>

namespace dotz {

inline constexpr int kDefaultMaxDays = 31;

// Today's date here. Only days before it are closed: a pending run may export
// today and later days when asked, but records them as done only once closed.
Day localToday();

// The first day after the state's last one, or `to` for an export without a
// state; nullopt when nothing is pending. A backlog longer than maxDays throws
// LastingError saying how to export it by hand.
std::optional<Day> pendingFrom(const StateFile& state, const ExportKey& key, Day to, int maxDays);

// "Nada pendente" for an export whose state reaches `to`.
std::string nothingPendingText(const StateFile& state, const ExportKey& key, Day to);

// The run's closing line when it reached days not yet closed: the state stops
// at `last` (the state's day afterwards), before `today`.
std::string openDaysText(Day today, const std::optional<Day>& last);

// What a run that ended early leaves, `last` being its last day done: "os
// arquivos dos dias até 14/03/2024 estão gravados; de 15/03/2024 em diante, nada
// foi gravado", or that nothing was; with `partly`, what of the next day is in
// place. Without a capital or a full stop.
std::string writtenUpToText(const std::optional<Day>& last, const PartlyPlaced* partly = nullptr);

// Passes the run's news on to another observer and counts what it did. Each
// day whose files are in place goes to `completed` (which may throw to end the
// run).
class DayLedger : public RunObserver
{
  public:
    DayLedger(RunObserver& next, std::function<void(Day, const DayResult&)> completed = {})
        : next_(next), completed_(std::move(completed))
    {
    }
    void showBusy(int kind) override { next_.showBusy(kind); }
    void hideBusy() override { next_.hideBusy(); }
    void dayDone(Day day, const DayResult& r) override;
    void progress(const DayProgress& p) override { next_.progress(p); }

    int days = 0;
    size_t files = 0;
    size_t records = 0;
    std::optional<Day> lastDay;

  private:
    RunObserver& next_;
    std::function<void(Day, const DayResult&)> completed_;
};

} // namespace dotz
