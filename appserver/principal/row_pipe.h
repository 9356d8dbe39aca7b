#pragma once
// Rows read on a thread of their own and handed to the encoder in batches, so
// that reading the database and encoding share the cores.
#include "appserver/stores/fair_share.h"
#include "appserver/stores/store.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

// A copy of some rows of a query, handed from the thread that reads the
// database to the one that encodes and sends.
class RowBatch final : public Row
{
  public:
    static constexpr size_t kRows = 2048;

    void clear(int columns);
    // Copies the row; a number the store cannot read is kept as its error, for
    // the encoder to report with the row's place.
    void add(const Row& r, const std::vector<bool>& text);
    size_t rows() const { return rows_; }
    bool full() const { return rows_ == kRows; }
    void select(size_t row) { at_ = row * columns_; }

    bool isNull(int c) const override { return cell(c).kind == Cell::Null; }
    std::string_view text(int c) const override
    {
        const Cell& x = cell(c);
        return {bytes_.data() + x.offset, x.size};
    }
    double number(int c) const override;

  private:
    struct Cell
    {
        enum Kind { Null, Text, Number, Failure } kind = Null;
        size_t offset = 0;
        size_t size = 0;
        double number = 0;
    };
    Cell store(Cell::Kind kind, std::string_view bytes);
    const Cell& cell(int c) const { return cells_[at_ + static_cast<size_t>(c)]; }

    size_t columns_ = 0;
    size_t rows_ = 0;
    size_t at_ = 0;
    std::string bytes_;
    std::vector<Cell> cells_;
};

// Runs a task on a thread beside the caller's, one that is free (QueryPool::helper).
using RunBeside = std::function<void(std::function<void()>)>;

// Rows read on the thread that `beside` gives, taking turns with the other
// calls through `share`, and handed to the caller in batches. Batches go
// through a short queue and come back to be reused; while the reader waits for
// its turn it gives their memory back, so that many waiting calls stay cheap.
class RowPipe
{
  public:
    struct Item
    {
        std::unique_ptr<RowBatch> batch; // null: the end of a run of rows
        std::exception_ptr failure;
    };
    // Writes runs of rows into the pipe; what it throws reaches the caller.
    using Read = std::function<void(RowPipe&)>;

    RowPipe(Read read, const RunBeside& beside, FairShare& share);
    // Waits until the reading thread is done.
    ~RowPipe();
    RowPipe(const RowPipe&) = delete;
    RowPipe& operator=(const RowPipe&) = delete;

    // The caller's side.
    Item next();
    void giveBack(std::unique_ptr<RowBatch> batch);

    // The reading side. A run of rows with these columns (text or not), each
    // batch a unit of the reader's turn; end() hands on the last batch and the
    // run's end.
    void begin(std::vector<bool> text);
    void add(const Row& r);
    void end();
    // A batch the reader filled itself, whole.
    void whole(std::unique_ptr<RowBatch> batch);

  private:
    std::unique_ptr<RowBatch> take(int columns);
    void put(Item item);

    static constexpr size_t kBatches = 4;
    FairShare::Turn turn_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> ready_;
    std::vector<std::unique_ptr<RowBatch>> spare_;
    size_t unmade_ = kBatches; // batches not allocated now, within kBatches
    bool parked_ = false;      // waiting for a turn: batches given back are freed
    bool stop_ = false;
    bool ended_ = false; // the reader has returned
    // The run being written, on the reading thread.
    std::vector<bool> text_;
    std::unique_ptr<RowBatch> batch_;
};

} // namespace dotz::appserver
