#include "principal.h"

#include "principal_sql.h"
#include "sqlite/items.h"

#include "appserver/rpc/rpc.h"

#include "base/error.h"

#include <optional>
#include <unordered_map>

namespace dotz::appserver {

namespace {

// Runs a query on the store, whichever its engine; calls onRow for each row in
// the query's order and returns the row count. Items have the same columns and
// rows on both engines.
size_t readQuery(Store& store, PrincipalQuery query, const BranchSelector& selector,
                 const std::string& day, const std::function<void(const Row&)>& onRow)
{
    if (query == PrincipalQuery::Items && store.engine() == Engine::Sqlite)
        return readSqliteItems(store, selector, day, onRow);
    const Statement s = statement(query, store.engine(), selector, day);
    return store.query(s.sql, s.params, onRow);
}

// A key of the packet, or a type, as JSON.
std::string quoted(std::string_view text)
{
    std::string json = "\"";
    json += text;
    return json + "\"";
}

void writeColumns(const wire::PacketLayout& layout, JsonOut& out)
{
    out.raw("{" + quoted(wire::key::kColumns) + ":[");
    bool first = true;
    for (const wire::Column& c : layout.columns) {
        std::string json = first ? "{" : ",{";
        first = false;
        json +=
            quoted(wire::key::kName) + ":" + quoted(c.name) + "," + quoted(wire::key::kType) + ":";
        json += c.text ? quoted(wire::kTypeText) + "," + quoted(wire::key::kSize) + ":" +
                             std::to_string(c.size) + "}"
                       : quoted(wire::kTypeNumber) + "}";
        out.raw(json);
    }
    out.raw("]," + quoted(wire::key::kRows) + ":[");
}

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
void writeValue(const Row& r, int q, const wire::Column& col, JsonOut& out)
{
    if (r.isNull(q))
        out.null();
    else if (col.text)
        out.string(r.text(q));
    else
        out.number(r.number(q));
}

void writeSetting(const std::optional<std::string>& value, std::string& json, JsonOut& out)
{
    if (!value)
        return out.null();
    if (!json.empty())
        return out.raw(json);
    const size_t mark = out.size();
    out.string(*value);
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
        for (const Source& source : from)
            if (source.from == Source::Product)
                columns_ = source.column + 1;
        const int promotion = productPromotionColumn();
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
size_t writeRows(int slot, RowPipe& reader,
                 std::unordered_map<std::string, BranchSettings>& branches, JsonOut& out)
{
    const wire::PacketLayout& layout = wire::kPackets[static_cast<size_t>(slot)];
    const std::vector<Source>& from = sources(slot);
    std::optional<PromotionProducts> products;
    if (slot == static_cast<int>(wire::slot::kConfigDotz)) {
        RowPipe::Item item = reader.next();
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
            const wire::Column& col = layout.columns[c];
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
                    writeSetting(branch->partner, branch->partnerJson, out);
                    break;
                case Source::Folder:
                    writeSetting(branch->folder, branch->folderJson, out);
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
        RowPipe::Item item = reader.next();
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

// The rows of the four packets in slot order, the promotion products whole
// ahead of the branches' promotions that use them.
void readPackets(Store& store, const BranchSelector& selector, const std::string& day,
                 RowPipe& pipe)
{
    size_t sales = 0; // the rows of Sales
    for (const PrincipalQuery query : kSlotQueries) {
        if (query == PrincipalQuery::Promotions) {
            auto products = std::make_unique<RowBatch>();
            const std::vector<bool> text = textColumns(PrincipalQuery::PromotionProducts);
            products->clear(static_cast<int>(text.size()));
            readQuery(store, PrincipalQuery::PromotionProducts, selector, day,
                      [&](const Row& r) { products->add(r, text); });
            pipe.whole(std::move(products));
        }
        pipe.begin(textColumns(query));
        // Each item needs one of the day's sales with a DOTZ customer.
        if (query != PrincipalQuery::Items || sales > 0) {
            const size_t rows =
                readQuery(store, query, selector, day, [&](const Row& r) { pipe.add(r); });
            if (query == PrincipalQuery::Sales)
                sales = rows;
        }
        pipe.end();
    }
}

} // namespace

void writePrincipal(Store& store, const BranchSelector& selector, const std::string& day,
                    JsonOut& out, PrincipalCounts& counts, const RunBeside& beside,
                    FairShare& share)
{
    // One snapshot for the four packets: a sale and its items must not come from
    // different states of the database.
    Snapshot snapshot(store);
    std::unordered_map<std::string, BranchSettings> branches;
    readQuery(store, PrincipalQuery::Branches, selector, day, [&](const Row& r) {
        auto value = [&](int c) {
            return r.isNull(c) ? std::nullopt : std::optional<std::string>(r.text(c));
        };
        branches[std::string(r.text(0))] = {value(1), value(2), {}, {}};
    });
    {
        RowPipe reader([&](RowPipe& pipe) { readPackets(store, selector, day, pipe); }, beside,
                       share);
        out.raw(dataEnvelopeHead() + "[");
        for (size_t slot = 0; slot < wire::kPacketCount; ++slot) {
            if (slot)
                out.raw(",");
            counts.rows[slot] = writeRows(static_cast<int>(slot), reader, branches, out);
        }
        out.raw("]}");
    }
    snapshot.end();
}

} // namespace dotz::appserver
