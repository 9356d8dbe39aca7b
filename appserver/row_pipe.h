#pragma once
// The rows of a day's packet queries, read on a thread of their own and handed
// to the encoder in batches, so that reading the database and encoding share
// the cores.
#include "fair_share.h"
#include "selector.h"
#include "store.h"

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

// Reads the four packet queries, in slot order, on the thread that `beside`
// gives, taking turns with the other calls through `share`. Batches go through
// a short queue and come back to be reused; while the call waits for its turn
// it gives their memory back, so that many waiting calls stay cheap.
class RowPipe
{
  public:
    struct Item
    {
        std::unique_ptr<RowBatch> batch; // null: the end of a slot's rows
        std::exception_ptr failure;
    };

    RowPipe(Store& store, const BranchSelector& selector, const std::string& day,
            const RunBeside& beside, FairShare& share);
    // Waits until the reading thread is done with the store.
    ~RowPipe();
    RowPipe(const RowPipe&) = delete;
    RowPipe& operator=(const RowPipe&) = delete;

    // Slot 3 begins with one batch of all the promotion products.
    Item next();
    void giveBack(std::unique_ptr<RowBatch> batch);

  private:
    void run(Store& store, const BranchSelector& selector, const std::string& day);
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
    bool ended_ = false; // run() has returned: the store is the caller's again
};

} // namespace dotz::appserver
