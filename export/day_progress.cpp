#include "day_progress.h"

#include "dotz_records.h"

#include "base/wire_contract.h"

namespace dotz {

double DayProgress::fraction() const
{
    if (branches == 0 || packet == 0 || packets == 0)
        return 0;
    const double whole = static_cast<double>(packets * branches);
    return std::min(1.0, static_cast<double>((packet - 1) * branches + done) / whole);
}

DayTracker::DayTracker(Day day, bool with515, ProgressReceiver& receiver) : receiver_(receiver)
{
    p_.day = day;
    p_.packets = with515 ? 3 : 2;
}

PieceSink& DayTracker::wrap(size_t slot, PieceSink& inner)
{
    sink_.tracker = this;
    sink_.slot = slot;
    sink_.inner = &inner;
    if (slot != wire::slot::kCaixa && slot <= p_.packets) {
        p_.packet = slot;
        p_.done = 0;
        any_ = false;
        receiver_.progress(p_);
    }
    return sink_;
}

void DayTracker::ended(size_t slot)
{
    if (slot == wire::slot::kCaixa) {
        p_.branches = tills_.size();
        tills_.clear();
    } else if (slot <= p_.packets) {
        p_.done = p_.branches;
    } else {
        return;
    }
    receiver_.progress(p_);
}

// CDFILIAL is every packet's first column.
void DayTracker::seen(size_t slot, const ColumnStore& piece)
{
    const auto branches = record::textOf(piece, 0);
    if (slot == wire::slot::kCaixa) {
        for (size_t r = 0; r < piece.rows(); ++r)
            if (const std::string_view b = branches[r]; tills_.find(b) == tills_.end())
                tills_.emplace(b);
        return;
    }
    if (slot > p_.packets)
        return;
    const size_t before = p_.done;
    for (size_t r = 0; r < piece.rows(); ++r) {
        const std::string_view b = branches[r];
        if (any_ && b == last_)
            continue;
        if (any_)
            ++p_.done;
        last_.assign(b);
        any_ = true;
    }
    // A branch that sells without a till still counts; the figure stays below the whole.
    p_.done = std::min(p_.done, p_.branches > 0 ? p_.branches - 1 : 0);
    if (p_.done != before)
        receiver_.progress(p_);
}

void DayTracker::restarted(size_t slot)
{
    if (slot == wire::slot::kCaixa)
        tills_.clear();
    else
        p_.done = 0;
    any_ = false;
}

void DayTracker::Sink::rows(const ColumnStore& piece, size_t firstRow)
{
    inner->rows(piece, firstRow);
    tracker->seen(slot, piece);
}

void DayTracker::Sink::restart()
{
    inner->restart();
    tracker->restarted(slot);
}

} // namespace dotz
