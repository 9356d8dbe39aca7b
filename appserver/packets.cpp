#include "packets.h"

#include "export/error.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace dotz::appserver {

namespace {

void writeColumns(const PacketLayout& layout, JsonOut& out)
{
    out.raw("{\"columns\":[");
    bool first = true;
    for (const WireColumn& c : layout.columns) {
        std::string json = first ? "{\"name\":\"" : ",{\"name\":\"";
        first = false;
        json += c.name;
        json += c.text ? "\",\"type\":\"text\",\"size\":" + std::to_string(c.size) + "}"
                       : std::string("\",\"type\":\"number\"}");
        out.raw(json);
    }
    out.raw("],\"rows\":[");
}

// Where a packet's column comes from: the query's row, the branch's settings
// (read once per call), or the promotion product's row (read once per call).
// A copy of some rows of a query, handed from the thread that reads the
// database to the one that encodes and sends.
class RowBatch final : public Row
{
  public:
    static constexpr size_t kRows = 2048;

    void clear(int columns)
    {
        columns_ = static_cast<size_t>(columns);
        rows_ = 0;
        bytes_.clear();
        cells_.clear();
    }
    // Copies the row; a number the store cannot read is kept as its error, for
    // the encoder to report with the row's place.
    void add(const Row& r, const std::vector<bool>& text)
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
    size_t rows() const { return rows_; }
    bool full() const { return rows_ == kRows; }
    void select(size_t row) { at_ = row * columns_; }

    bool isNull(int c) const override { return cell(c).kind == Cell::Null; }
    std::string_view text(int c) const override
    {
        const Cell& x = cell(c);
        return {bytes_.data() + x.offset, x.size};
    }
    double number(int c) const override
    {
        const Cell& x = cell(c);
        if (x.kind == Cell::Failure)
            throw Error(std::string(text(c)));
        return x.number;
    }

  private:
    struct Cell
    {
        enum Kind { Null, Text, Number, Failure } kind = Null;
        size_t offset = 0;
        size_t size = 0;
        double number = 0;
    };
    Cell store(Cell::Kind kind, std::string_view bytes)
    {
        Cell cell{kind, bytes_.size(), bytes.size(), 0};
        bytes_.append(bytes);
        return cell;
    }
    const Cell& cell(int c) const { return cells_[at_ + static_cast<size_t>(c)]; }

    size_t columns_ = 0;
    size_t rows_ = 0;
    size_t at_ = 0;
    std::string bytes_;
    std::vector<Cell> cells_;
};

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

// Runs the four packet queries on a second thread of the call, so that reading
// the database and encoding share the two cores. Batches go through a
// short queue and come back to be reused; memory stays a few batches.
class Reader
{
  public:
    struct Item
    {
        std::unique_ptr<RowBatch> batch; // null: the end of a slot's rows
        std::exception_ptr failure;
    };

    Reader(Store& store, const BranchSelector& selector, const std::string& day,
           const RunBeside& beside)
    {
        for (int i = 0; i < 4; ++i)
            spare_.push_back(std::make_unique<RowBatch>());
        beside([this, &store, &selector, &day] {
            run(store, selector, day);
            std::lock_guard lock(mutex_);
            ended_ = true;
            changed_.notify_all();
        });
    }
    ~Reader()
    {
        std::unique_lock lock(mutex_);
        stop_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return ended_; });
    }

    Item next()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !ready_.empty(); });
        Item item = std::move(ready_.front());
        ready_.pop_front();
        return item;
    }
    void giveBack(std::unique_ptr<RowBatch> batch)
    {
        {
            std::lock_guard lock(mutex_);
            spare_.push_back(std::move(batch));
        }
        changed_.notify_all();
    }

  private:
    void run(Store& store, const BranchSelector& selector, const std::string& day)
    {
        try {
            size_t sales = 0; // the rows of slot 1
            for (int slot = 0; slot < 4; ++slot) {
                if (slot == 3) {
                    // Whole, ahead of the branches' promotions that use them.
                    auto products = std::make_unique<RowBatch>();
                    const std::vector<bool> text = textColumns(kPromotionProducts);
                    products->clear(static_cast<int>(text.size()));
                    store.query(packetQuery(kPromotionProducts, store.engine(), selector),
                                queryParameters(kPromotionProducts, selector, day),
                                [&](const Row& r) { products->add(r, text); });
                    put({std::move(products), {}});
                }
                const std::vector<bool> text = textColumns(slot);
                const int columns = static_cast<int>(text.size());
                std::unique_ptr<RowBatch> batch = take(columns);
                const auto add = [&](const Row& r) {
                    batch->add(r, text);
                    if (batch->full()) {
                        put({std::move(batch), {}});
                        batch = take(columns);
                    }
                };
                if (slot == 2 && sales == 0) {
                    // Each item needs one of the day's sales with a DOTZ customer.
                } else if (slot == 2 && store.engine() == Engine::Sqlite) {
                    readSqliteItems(store, selector, day, add);
                } else {
                    const size_t rows = store.query(packetQuery(slot, store.engine(), selector),
                                                    queryParameters(slot, selector, day), add);
                    if (slot == 1)
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
    // The items with the customers of their sales (in the same order, which
    // SQLite's texts give as bytes) and their products' barcodes, looked up once
    // each; an item without either is left out, as the join would.
    static void readSqliteItems(Store& store, const BranchSelector& selector,
                                const std::string& day, const std::function<void(const Row&)>& add)
    {
        const std::unique_ptr<Cursor> sales =
            store.cursor(packetQuery(kItemSales, Engine::Sqlite, selector),
                         queryParameters(kItemSales, selector, day));
        const Row* sale = sales->next();
        // By product code: nothing while the product is not found, else its barcode.
        std::unordered_map<std::string, std::optional<std::optional<std::string>>> barcodes;
        const std::string barcodeQuery = packetQuery(kProductBarcode, Engine::Sqlite, selector);
        ItemRow row;
        store.query(packetQuery(2, Engine::Sqlite, selector), queryParameters(2, selector, day),
                    [&](const Row& item) {
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
    // The sale's key (branch, till, receipt) against the item's, as bytes.
    static int compareSale(const Row& sale, const Row& item)
    {
        for (int c = 0; c < 3; ++c)
            if (const int order = sale.text(c).compare(item.text(c)))
                return order;
        return 0;
    }

    std::unique_ptr<RowBatch> take(int columns)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || !spare_.empty(); });
        if (stop_)
            throw Stopped{};
        std::unique_ptr<RowBatch> batch = std::move(spare_.back());
        spare_.pop_back();
        batch->clear(columns);
        return batch;
    }
    void put(Item item)
    {
        {
            std::lock_guard lock(mutex_);
            ready_.push_back(std::move(item));
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> ready_;
    std::vector<std::unique_ptr<RowBatch>> spare_;
    bool stop_ = false;
    bool ended_ = false; // run() has returned: the store is the caller's again
};

struct BranchSettings
{
    std::optional<std::string> partner; // CDINTEGRADOTZ
    std::optional<std::string> folder;  // DSDIRARQDOTZ
    // Their JSON, written at their first use: a value that is not UTF-8 is
    // refused where a row needs it, as any other.
    std::string partnerJson;
    std::string folderJson;
};

// A text longer than its column goes out as it is: the client refuses it only
// where it would reach a file.
void writeText(std::string_view t, const WireColumn&, JsonOut& out)
{
    out.string(t);
}

void writeValue(const Row& r, int q, const WireColumn& col, JsonOut& out)
{
    if (r.isNull(q))
        out.null();
    else if (col.text)
        writeText(r.text(q), col, out);
    else
        out.number(r.number(q));
}

void writeSetting(const std::optional<std::string>& value, std::string& json, const WireColumn& col,
                  JsonOut& out)
{
    if (!value)
        return out.null();
    if (!json.empty())
        return out.raw(json);
    const size_t mark = out.size();
    writeText(*value, col, out);
    json = out.since(mark);
}

// The promotions' products of a call. Each product's columns are written once
// and copied into the rows of every branch that takes part in its promotion.
class PromotionProducts
{
  public:
    PromotionProducts(std::unique_ptr<RowBatch> rows, const std::vector<Source>& from)
        : rows_(std::move(rows)), json_(rows_->rows())
    {
        int promotion = 0;
        for (size_t c = 0; c < from.size(); ++c) {
            if (from[c].from != Source::Product)
                continue;
            columns_ = from[c].column + 1;
            if (packetLayouts()[3].columns[c].name == std::string_view("CDPROMOCAODOTZ"))
                promotion = from[c].column;
        }
        for (size_t k = 0; k < rows_->rows(); ++k) {
            rows_->select(k);
            if (!rows_->isNull(promotion))
                byPromotion_[std::string(rows_->text(promotion))].push_back(k);
        }
    }
    // The products of a promotion, in the order of the query; null when none.
    const std::vector<size_t>* of(std::string_view promotion) const
    {
        const auto found = byPromotion_.find(std::string(promotion));
        return found == byPromotion_.end() ? nullptr : &found->second;
    }
    const Row& select(size_t k)
    {
        rows_->select(k);
        return *rows_;
    }
    int columns() const { return columns_; }
    std::string& json(size_t k) { return json_[k]; }

  private:
    std::unique_ptr<RowBatch> rows_;
    std::vector<std::string> json_; // empty until written
    std::unordered_map<std::string, std::vector<size_t>> byPromotion_;
    int columns_ = 0;
};

// Encodes one packet from the reader's batches; returns its row count.
size_t writeRows(int slot, Reader& reader,
                 std::unordered_map<std::string, BranchSettings>& branches, JsonOut& out)
{
    const PacketLayout& layout = packetLayouts()[static_cast<size_t>(slot)];
    const std::vector<Source> from = sources(slot);
    std::optional<PromotionProducts> products;
    if (slot == 3) {
        Reader::Item item = reader.next();
        if (item.failure)
            std::rethrow_exception(item.failure);
        products.emplace(std::move(item.batch), from);
    }
    writeColumns(layout, out);
    size_t row = 0;
    std::string branchCode;
    BranchSettings* branch = nullptr;

    // One row of the packet: the query's row, with the promotion product's
    // columns when the packet has them.
    const auto writeRow = [&](const Row& rows, size_t item) {
        ++row;
        out.raw(row == 1 ? "[" : ",[");
        const Row* product = products ? &products->select(item) : nullptr;
        size_t productFrom = 0; // where the product's columns begin in the output
        for (size_t c = 0; c < from.size(); ++c) {
            const WireColumn& col = layout.columns[c];
            const Source source = from[c];
            try {
                if (source.from == Source::Product && source.column == 0) {
                    if (const std::string& json = products->json(item); !json.empty()) {
                        out.raw(json);
                        c += static_cast<size_t>(products->columns()) - 1;
                        continue;
                    }
                    productFrom = out.size();
                }
                if (c)
                    out.raw(",");
                switch (source.from) {
                case Source::Query:
                    writeValue(rows, source.column, col, out);
                    break;
                case Source::Partner:
                    writeSetting(branch->partner, branch->partnerJson, col, out);
                    break;
                case Source::Folder:
                    writeSetting(branch->folder, branch->folderJson, col, out);
                    break;
                case Source::Product:
                    writeValue(*product, source.column, col, out);
                    if (source.column == products->columns() - 1)
                        products->json(item) = out.since(productFrom);
                    break;
                }
            } catch (const Error& e) {
                throw Error("pacote " + std::string(layout.table) + ", coluna " + col.name +
                            ", linha " + std::to_string(row) + " (filial " +
                            std::string(rows.isNull(0) ? "(nenhuma)" : rows.text(0)) +
                            "): " + e.what());
            }
        }
        out.raw("]");
        out.maybeFlush();
    };

    for (;;) {
        Reader::Item item = reader.next();
        if (item.failure)
            std::rethrow_exception(item.failure);
        if (!item.batch)
            break;
        RowBatch& rows = *item.batch;
        for (size_t k = 0; k < rows.rows(); ++k) {
            rows.select(k);
            if (slot > 0) {
                const std::string_view code = rows.text(0);
                if (row == 0 || code != branchCode) {
                    branchCode = code;
                    const auto found = branches.find(branchCode);
                    branch = found == branches.end() ? nullptr : &found->second;
                }
                if (!branch)
                    continue; // the join to the branch's settings left it out
            }
            if (!products) {
                writeRow(rows, 0);
            } else if (const std::vector<size_t>* items =
                           rows.isNull(1) ? nullptr : products->of(rows.text(1))) {
                for (size_t p : *items)
                    writeRow(rows, p);
            }
        }
        reader.giveBack(std::move(item.batch));
    }
    out.raw("]}");
    return row;
}

} // namespace

void writePrincipal(Store& store, const BranchSelector& selector, const std::string& day,
                    JsonOut& out, PrincipalCounts& counts, const RunBeside& beside)
{
    // One snapshot for the four packets: a sale and its items must not come from
    // different states of the database.
    store.exec(store.engine() == Engine::Postgres
                   ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"
                   : "BEGIN");
    try {
        std::unordered_map<std::string, BranchSettings> branches;
        store.query(packetQuery(kBranchSlot, store.engine(), selector),
                    queryParameters(kBranchSlot, selector, day), [&](const Row& r) {
                        auto value = [&](int c) {
                            return r.isNull(c) ? std::nullopt
                                               : std::optional<std::string>(r.text(c));
                        };
                        branches[std::string(r.text(0))] = {value(1), value(2), {}, {}};
                    });
        {
            Reader reader(store, selector, day, beside);
            out.raw("{\"ok\":true,\"data\":[");
            for (int slot = 0; slot < 4; ++slot) {
                if (slot)
                    out.raw(",");
                counts.rows[static_cast<size_t>(slot)] = writeRows(slot, reader, branches, out);
            }
            out.raw("]}");
        }
        store.exec("COMMIT");
    } catch (...) {
        try {
            store.exec("ROLLBACK");
        } catch (...) {
        }
        throw;
    }
}

} // namespace dotz::appserver
