#include "row_pipe.h"

#include "base/error.h"

namespace dotz::appserver {

namespace {

struct Stopped
{
};

} // namespace

void RowBatch::clear(int columns)
{
    columns_ = static_cast<size_t>(columns);
    rows_ = 0;
    bytes_.clear();
    cells_.clear();
}

void RowBatch::add(const Row& r, const std::vector<bool>& text)
{
    for (size_t c = 0; c < columns_; ++c) {
        const int q = static_cast<int>(c);
        Cell cell;
        if (text[c]) {
            if (const auto t = r.textOrNull(q))
                cell = store(Cell::Text, *t);
        } else {
            try {
                if (const auto n = r.numberOrNull(q))
                    cell = {Cell::Number, 0, 0, *n};
            } catch (const Error& e) {
                cell = store(Cell::Failure, e.what());
            }
        }
        cells_.push_back(cell);
    }
    ++rows_;
}

double RowBatch::number(int c) const
{
    const Cell& x = cell(c);
    if (x.kind == Cell::Failure)
        throw Error(std::string(text(c)));
    return x.number;
}

RowBatch::Cell RowBatch::store(Cell::Kind kind, std::string_view bytes)
{
    Cell cell{kind, bytes_.size(), bytes.size(), 0};
    bytes_.append(bytes);
    return cell;
}

RowPipe::RowPipe(Read read, const RunBeside& beside, FairShare& share) : turn_(share)
{
    beside([this, read = std::move(read)] {
        if (turn_.enter()) {
            try {
                read(*this);
            } catch (const Stopped&) {
            } catch (...) {
                put({nullptr, std::current_exception()});
            }
        }
        turn_.leave();
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    });
}

RowPipe::~RowPipe()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    turn_.cancel();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ended_; });
}

RowPipe::Item RowPipe::next()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty(); });
    Item item = std::move(ready_.front());
    ready_.pop_front();
    return item;
}

void RowPipe::giveBack(std::unique_ptr<RowBatch> batch)
{
    {
        std::lock_guard lock(mutex_);
        if (parked_)
            ++unmade_; // freed here, outside the lock
        else
            spare_.push_back(std::move(batch));
    }
    changed_.notify_all();
}

void RowPipe::begin(std::vector<bool> text)
{
    text_ = std::move(text);
    batch_ = take(static_cast<int>(text_.size()));
}

void RowPipe::add(const Row& r)
{
    batch_->add(r, text_);
    if (batch_->full()) {
        put({std::move(batch_), {}});
        batch_ = take(static_cast<int>(text_.size()));
    }
}

void RowPipe::end()
{
    if (batch_->rows())
        put({std::move(batch_), {}});
    else
        giveBack(std::move(batch_));
    put({});
}

void RowPipe::whole(std::unique_ptr<RowBatch> batch)
{
    put({std::move(batch), {}});
}

// Each batch is one unit of a turn: a call that has read less may go first,
// and while this one waits its idle batches are freed.
std::unique_ptr<RowBatch> RowPipe::take(int columns)
{
    const bool mine = turn_.pause(1, [&] {
        std::vector<std::unique_ptr<RowBatch>> idle; // freed before the wait
        std::lock_guard lock(mutex_);
        parked_ = true;
        unmade_ += spare_.size();
        idle.swap(spare_);
    });
    std::unique_lock lock(mutex_);
    parked_ = false;
    if (!mine)
        throw Stopped{};
    changed_.wait(lock, [&] { return stop_ || !spare_.empty() || unmade_ > 0; });
    if (stop_)
        throw Stopped{};
    std::unique_ptr<RowBatch> batch;
    if (spare_.empty()) {
        --unmade_;
        batch = std::make_unique<RowBatch>();
    } else {
        batch = std::move(spare_.back());
        spare_.pop_back();
    }
    batch->clear(columns);
    return batch;
}

void RowPipe::put(Item item)
{
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(item));
    }
    changed_.notify_all();
}

} // namespace dotz::appserver
