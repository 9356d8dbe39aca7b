#pragma once
// The day under way on one line of a terminal, rewritten at most a few times a
// second (branches done of the day's, megabytes received, the rate), which gives
// way to the day's summary line. Nothing of it goes anywhere but a terminal.
#include "export/run.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>

namespace dotz {

// The line's text: "15/03/2024: 120 de 200 filiais (vendas); 85,3 MB recebidos,
// 70,1 MB/s"; without a day's progress, only what was received.
std::string progressText(const std::optional<DayProgress>& day, std::uint64_t bytes,
                         double seconds);

// Each day's summary line on `out` when it is a terminal, with the progress line
// before it. progress() comes from the loading thread, received() from the
// receiving one.
class TerminalProgress : public RunObserver
{
  public:
    TerminalProgress(std::ostream& out, bool terminal);
    void showBusy(int) override {}
    void hideBusy() override {}
    void dayDone(Day day, const DayResult& r) override;
    void progress(const DayProgress& p) override;
    // The bytes of the day's reply in so far.
    void received(std::uint64_t bytes);
    // Takes the progress line away, so that a message starts at the left.
    void clear();

  private:
    using Clock = std::chrono::steady_clock;
    void show(Clock::time_point now); // under m_
    void wipe();                      // under m_

    std::ostream& out_;
    bool terminal_;
    std::mutex m_;
    std::optional<DayProgress> day_;
    std::uint64_t bytes_ = 0;
    Clock::time_point since_{}; // the first byte of the reply
    Clock::time_point shown_{}; // when the line was last written
    bool showing_ = false;
};

} // namespace dotz
