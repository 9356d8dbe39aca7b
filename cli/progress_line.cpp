#include "progress_line.h"

#include "terminal.h"

#include "base/wire_contract.h"

#include <cstdio>
#include <ostream>

namespace dotz {
namespace {

// A few times a second: enough to see it move, not enough to cost.
constexpr auto kEvery = std::chrono::milliseconds(250);

// "85,3"
std::string decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string s = text;
    if (const size_t dot = s.find('.'); dot != std::string::npos)
        s[dot] = ',';
    return s;
}

const char* packetName(size_t packet)
{
    return packet == 1 ? "vendas" : packet == 2 ? "itens" : "produtos em promoção";
}

} // namespace

std::string progressText(const std::optional<DayProgress>& day, std::uint64_t bytes, double seconds)
{
    std::string text;
    if (day) {
        text = day->day.regional() + ": ";
        if (day->packet > 0)
            text += std::to_string(day->done) + " de " + count(day->branches, "filial", "filiais") +
                    " (" + packetName(day->packet) + "); ";
    }
    const double mb = static_cast<double>(bytes) / 1e6;
    text += decimal(mb) + " MB recebidos";
    if (seconds > 0.05)
        text += ", " + decimal(mb / seconds) + " MB/s";
    return text;
}

TerminalProgress::TerminalProgress(std::ostream& out, bool terminal)
    : out_(out), terminal_(terminal)
{
}

void TerminalProgress::dayDone(Day day, const DayResult& r)
{
    if (!terminal_)
        return;
    using namespace wire::slot;
    std::lock_guard lock(m_);
    wipe();
    day_.reset();
    bytes_ = 0;
    say(out_, day.regional() + ": " + count(r.rows[kDadosDotz], "venda", "vendas") + ", " +
                  count(r.rows[kDotzExtra], "item", "itens") + ", " +
                  count(r.rows[kConfigDotz], "produto em promoção", "produtos em promoção") + "; " +
                  count(r.files.size(), "arquivo", "arquivos"));
}

void TerminalProgress::progress(const DayProgress& p)
{
    if (!terminal_)
        return;
    std::lock_guard lock(m_);
    day_ = p;
    show(Clock::now());
}

void TerminalProgress::received(std::uint64_t bytes)
{
    if (!terminal_)
        return;
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(m_);
    if (bytes < bytes_ || bytes_ == 0) // a new call
        since_ = now;
    bytes_ = bytes;
    show(now);
}

void TerminalProgress::clear()
{
    std::lock_guard lock(m_);
    wipe();
}

void TerminalProgress::show(Clock::time_point now)
{
    // The reply's first bytes alone tell nothing yet.
    if ((showing_ && now - shown_ < kEvery) || (!day_ && bytes_ < 1000000))
        return;
    shown_ = now;
    showing_ = true;
    const double seconds = std::chrono::duration<double>(now - since_).count();
    // Back to the line's start, the text, the rest of the line erased.
    out_ << '\r' << forTerminal(progressText(day_, bytes_, bytes_ ? seconds : 0)) << "\x1b[K"
         << std::flush;
}

void TerminalProgress::wipe()
{
    if (showing_)
        out_ << "\r\x1b[K" << std::flush;
    showing_ = false;
}

} // namespace dotz
