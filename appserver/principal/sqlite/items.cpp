#include "items.h"

#include "appserver/principal/principal_sql.h"

#include <optional>
#include <string>
#include <unordered_map>

namespace dotz::appserver {
namespace {

// Where SQLite's item query leaves NULLs for readSqliteItems to fill,
// and where it has the product's code.
constexpr int kItemCustomer = 3;
constexpr int kItemProduct = 4;
constexpr int kItemBarcode = 8;

// SQLite's Items: a row of its item query with its sale's customer and its
// product's barcode in the places of the query's NULLs.
class ItemRow final : public Row
{
  public:
    const Row* item = nullptr;
    std::string_view customer;
    const std::optional<std::string>* barcode = nullptr;

    bool isNull(int c) const override
    {
        return c == kItemBarcode ? !*barcode : c != kItemCustomer && item->isNull(c);
    }
    std::string_view text(int c) const override
    {
        return c == kItemCustomer  ? customer
               : c == kItemBarcode ? std::string_view(**barcode)
                                   : item->text(c);
    }
    double number(int c) const override { return item->number(c); }
    std::optional<std::string_view> textOrNull(int c) const override
    {
        return c == kItemCustomer || c == kItemBarcode ? Row::textOrNull(c) : item->textOrNull(c);
    }
    std::optional<double> numberOrNull(int c) const override { return item->numberOrNull(c); }
};

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
} // namespace

size_t readSqliteItems(Store& store, const BranchSelector& selector, const std::string& day,
                       const std::function<void(const Row&)>& onRow)
{
    const Statement itemSales = statement(PrincipalQuery::ItemSales, Engine::Sqlite, selector, day);
    const std::unique_ptr<Cursor> sales = store.cursor(itemSales.sql, itemSales.params);
    const Row* sale = sales->next();
    // By product code: nothing while the product is not found, else its barcode.
    std::unordered_map<std::string, std::optional<std::optional<std::string>>> barcodes;
    const std::string barcodeQuery =
        statement(PrincipalQuery::ProductBarcode, Engine::Sqlite, selector, day).sql;
    const Statement items = statement(PrincipalQuery::Items, Engine::Sqlite, selector, day);
    ItemRow row;
    size_t count = 0;
    store.query(items.sql, items.params, [&](const Row& item) {
        int order = -1;
        while (sale && (order = compareSale(*sale, item)) < 0)
            sale = sales->next();
        if (order != 0)
            return;
        const std::string product(item.text(kItemProduct));
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
        ++count;
        onRow(row);
    });
    return count;
}

} // namespace dotz::appserver
