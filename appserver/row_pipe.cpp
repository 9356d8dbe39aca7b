#include "row_pipe.h"

#include "principal_sql.h"

#include "export/error.h"

#include <optional>
#include <unordered_map>

namespace dotz::appserver {

namespace {

struct Stopped
{
};

// A row of SQLite's item query with its sale's customer and its product's
// barcode in the places of the query's NULLs.
class ItemRow final : public Row
{
  public:
    static constexpr int kCustomer = 3;
    static constexpr int kProduct = 4;
    static constexpr int kBarcode = 8;
    const Row* item = nullptr;
    std::string_view customer;
    const std::optional<std::string>* barcode = nullptr;

    bool isNull(int c) const override
    {
        return c == kBarcode ? !*barcode : c != kCustomer && item->isNull(c);
    }
    std::string_view text(int c) const override
    {
        return c == kCustomer  ? customer
               : c == kBarcode ? std::string_view(**barcode)
                               : item->text(c);
    }
    double number(int c) const override { return item->number(c); }
    std::optional<std::string_view> textOrNull(int c) const override
    {
        return c == kCustomer || c == kBarcode ? Row::textOrNull(c) : item->textOrNull(c);
    }
    std::optional<double> numberOrNull(int c) const override { return item->numberOrNull(c); }
};

// compareSale first: the merge below needs it.
// The sale's key (branch, till, receipt) against the item's, as bytes.
int compareSale(const Row& sale, const Row& item)
{
    for (int c = 0; c < 3; ++c)
        if (const int order = sale.text(c).compare(item.text(c)))
            return order;
    return 0;
}

// The items with the customers of their sales (in the same order, which
// SQLite's texts give as bytes) and their products' barcodes, looked up once
// each; an item without either is left out, as the join would.
void readSqliteItems(Store& store, const BranchSelector& selector, const std::string& day,
                     const std::function<void(const Row&)>& add)
{
    const std::unique_ptr<Cursor> sales =
        store.cursor(querySql(PrincipalQuery::ItemSales, Engine::Sqlite, selector),
                     queryParameters(PrincipalQuery::ItemSales, selector, day));
    const Row* sale = sales->next();
    // By product code: nothing while the product is not found, else its barcode.
    std::unordered_map<std::string, std::optional<std::optional<std::string>>> barcodes;
    const std::string barcodeQuery =
        querySql(PrincipalQuery::ProductBarcode, Engine::Sqlite, selector);
    ItemRow row;
    store.query(querySql(PrincipalQuery::Items, Engine::Sqlite, selector),
                queryParameters(PrincipalQuery::Items, selector, day), [&](const Row& item) {
                    int order = -1;
                    while (sale && (order = compareSale(*sale, item)) < 0)
                        sale = sales->next();
                    if (order != 0)
                        return;
                    const std::string product(item.text(ItemRow::kProduct));
                    const auto emplaced = barcodes.try_emplace(product);
                    auto& barcode = emplaced.first->second;
                    if (emplaced.second)
                        store.query(barcodeQuery, {product},
                                    [&](const Row& p) { barcode.emplace(p.textOrNull(0)); });
                    if (!barcode)
                        return;
                    row.item = &item;
                    row.customer = sale->text(3);
                    row.barcode = &*barcode;
                    add(row);
                });
}

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

RowPipe::RowPipe(Store& store, const BranchSelector& selector, const std::string& day,
                 const RunBeside& beside, FairShare& share)
    : turn_(share)
{
    beside([this, &store, &selector, &day] {
        run(store, selector, day);
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

void RowPipe::run(Store& store, const BranchSelector& selector, const std::string& day)
{
    if (!turn_.enter())
        return;
    try {
        size_t sales = 0; // the rows of Sales
        for (const PrincipalQuery query : kSlotQueries) {
            if (query == PrincipalQuery::Promotions) {
                // Whole, ahead of the branches' promotions that use them.
                auto products = std::make_unique<RowBatch>();
                const std::vector<bool> text = textColumns(PrincipalQuery::PromotionProducts);
                products->clear(static_cast<int>(text.size()));
                store.query(querySql(PrincipalQuery::PromotionProducts, store.engine(), selector),
                            queryParameters(PrincipalQuery::PromotionProducts, selector, day),
                            [&](const Row& r) { products->add(r, text); });
                put({std::move(products), {}});
            }
            const std::vector<bool> text = textColumns(query);
            const int columns = static_cast<int>(text.size());
            std::unique_ptr<RowBatch> batch = take(columns);
            const auto add = [&](const Row& r) {
                batch->add(r, text);
                if (batch->full()) {
                    put({std::move(batch), {}});
                    batch = take(columns);
                }
            };
            if (query == PrincipalQuery::Items && sales == 0) {
                // Each item needs one of the day's sales with a DOTZ customer.
            } else if (query == PrincipalQuery::Items && store.engine() == Engine::Sqlite) {
                readSqliteItems(store, selector, day, add);
            } else {
                const size_t rows = store.query(querySql(query, store.engine(), selector),
                                                queryParameters(query, selector, day), add);
                if (query == PrincipalQuery::Sales)
                    sales = rows;
            }
            if (batch->rows())
                put({std::move(batch), {}});
            else
                giveBack(std::move(batch));
            put({});
        }
    } catch (const Stopped&) {
    } catch (...) {
        put({nullptr, std::current_exception()});
    }
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
