#include "base/error.h"
#include "tests/support/export_tables.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <optional>

namespace dotz {
namespace {

std::vector<std::string> codes(Table& t)
{
    std::vector<std::string> out;
    for (t.first(); !t.eof(); t.next())
        out.push_back(t.asText(working::CDFILIAL));
    return out;
}

TEST(Table, CursorStaysOnLastRowAtEndOfData)
{
    Table t = makeCdsCaixa();
    EXPECT_TRUE(t.isEmpty());
    EXPECT_TRUE(t.eof());
    t.appendRow({"0001", "001"});
    t.appendRow({"0002", "005"});
    t.first();
    EXPECT_FALSE(t.eof());
    t.next();
    EXPECT_FALSE(t.eof());
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "005");
    t.next();
    EXPECT_TRUE(t.eof());
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "005");
    t.first();
    EXPECT_EQ(t.asText(caixa::CDFILIAL), "0001");
}

TEST(Table, NullsAndNumberTextForms)
{
    Table t = makeCdsDadosDotz();
    t.appendRow(
        {"0001", nullptr, "1", "", nullptr, nullptr, nullptr, 2.5, nullptr, nullptr, nullptr, 150});
    t.appendRow({"0001", nullptr, "2", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr, nullptr, nullptr});
    t.first();
    EXPECT_EQ(t.asText(dados::VRTOTVENDA), "2,5");
    EXPECT_EQ(t.asText(dados::NRDOTZ), "150");
    EXPECT_EQ(t.asText(dados::CDCAIXA), "");
    EXPECT_TRUE(t.isNull(dados::CDCAIXA));
    EXPECT_FALSE(t.isNull(dados::CDIDCLIENTEDOTZ)); // empty text is not null
    t.next();
    EXPECT_EQ(t.asNumber(dados::NRDOTZ), 0);
    EXPECT_EQ(t.asText(dados::NRDOTZ), "");
    EXPECT_TRUE(t.isNull(dados::NRDOTZ));
}

TEST(Table, FindIsExactAndInsertGoesBeforeTheCurrentRow)
{
    Table set = makeCdsFilialParc();
    set.createEmpty();
    EXPECT_TRUE(set.created());
    // Scan order 0001, 0002, 0001, 0003 leaves 0002, 0003, 0001.
    for (const char* code : {"0001", "0002", "0001", "0003"})
        if (!set.find(working::CDFILIAL, code))
            set.insert(working::CDFILIAL, code);
    EXPECT_EQ(codes(set), (std::vector<std::string>{"0002", "0003", "0001"}));

    set.empty();
    EXPECT_TRUE(set.isEmpty());
    set.insert(working::CDFILIAL, "0001");
    EXPECT_FALSE(set.find(working::CDFILIAL, "1"));
    EXPECT_FALSE(set.find(working::CDFILIAL, "0001 "));
    set.insert(working::CDFILIAL, "1"); // the failed find left the cursor on 0001
    EXPECT_EQ(codes(set), (std::vector<std::string>{"1", "0001"}));
    EXPECT_TRUE(set.find(working::CDFILIAL, "0001"));
    EXPECT_EQ(set.currentRow(), 1u);
}

TEST(Table, LargeTextColumnsSpanStorageBlocks)
{
    // Distinct names: past the 64 KiB of narrow references and past the first 1 MiB
    // block, with nulls on both sides of each change of storage.
    Table t = makeCdsConfigDotz();
    auto name = [](int i) {
        return std::string(40, static_cast<char>('a' + i % 26)) + std::to_string(i);
    };
    for (int i = 0; i < 30000; ++i)
        t.appendRow({std::to_string(i % 10000), nullptr, 1.5,
                     i % 7 ? Table::Value(name(i)) : nullptr, "789", "P", "", "", 2, "1", "C:\\"});
    EXPECT_EQ(t.rowCount(), 30000u);
    for (int i = 0; i < 30000; ++i)
        ASSERT_EQ(t.textAt(static_cast<size_t>(i), config::NMPRODUTO), i % 7 ? name(i) : "") << i;
    const Table::TextColumn names = t.textColumn(config::NMPRODUTO);
    EXPECT_TRUE(names.isNull(0) && !names.isNull(29999) && names[29999] == name(29999));
    EXPECT_FALSE(t.columnHoldsAnyOf(config::NMPRODUTO, "|\r\n"));
    t.appendRow({"1", nullptr, 1.5, "a|b", "789", "P", "", "", 2, "1", "C:\\"});
    EXPECT_TRUE(t.columnHoldsAnyOf(config::NMPRODUTO, "|"));
}

TEST(Table, TextColumnsHoldWhatWasPutInWhateverTheirStorage)
{
    // Each case runs past 64 KiB of text, where the column picks slots or 4-byte
    // references, and most then break what the choice relied on.
    using Text = std::optional<std::string>;
    auto digits = [](int i, int width) {
        std::string s = std::to_string(i);
        return std::string(static_cast<size_t>(width) -
                               std::min<size_t>(s.size(), static_cast<size_t>(width)),
                           '0') +
               s;
    };
    struct Case
    {
        const char* what;
        int rows;
        std::function<Text(int)> value;
        bool insertFirst = false;
    };
    const Case cases[] = {
        {"one length, then a longer one now and then", 30000,
         [&](int i) -> Text { return digits(i, 10) + (i >= 25000 && i % 3 == 0 ? "x" : ""); }},
        {"one length in runs, then a null", 30000,
         [&](int i) -> Text { return i == 28000 ? Text() : digits(i / 3, 6); }},
        {"one length, then an insert before the first row", 20000,
         [&](int i) -> Text { return digits(i, 8); }, true},
        {"lengths vary from the start", 30000,
         [](int i) -> Text {
             return std::string(static_cast<size_t>(i % 5 + 1), static_cast<char>('a' + i % 26));
         }},
        {"one repeated value", 1000, [](int) -> Text { return "abc"; }},
    };
    for (const Case& c : cases) {
        Table t = makeCdsCaixa();
        std::vector<Text> model;
        for (int i = 0; i < c.rows; ++i) {
            const Text v = c.value(i);
            t.appendRow({v ? Table::Value(*v) : nullptr, "1"});
            model.push_back(v);
        }
        if (c.insertFirst) {
            t.insert(caixa::CDFILIAL, "zz");
            model.insert(model.begin(), "zz");
        }
        ASSERT_EQ(t.rowCount(), model.size()) << c.what;
        const Table::TextColumn column = t.textColumn(caixa::CDFILIAL);
        for (size_t r = 0; r < model.size(); ++r) {
            ASSERT_EQ(t.isNullAt(r, caixa::CDFILIAL), !model[r]) << c.what << ", row " << r;
            ASSERT_EQ(column.isNull(r), !model[r]) << c.what << ", row " << r;
            ASSERT_EQ(t.textAt(r, caixa::CDFILIAL), model[r].value_or(""))
                << c.what << ", row " << r;
            ASSERT_EQ(column[r], model[r].value_or("")) << c.what << ", row " << r;
        }
        EXPECT_FALSE(t.columnHoldsAnyOf(caixa::CDFILIAL, "|\r\n")) << c.what;
    }
}

TEST(Table, NumbersReadBackBitForBit)
{
    // Each value after 1.5 and before a null and 2.25: the first list stays in
    // hundredths, the second makes the column hold doubles, the values before it too.
    const double values[] = {0,           1,           -1,           2.5,     12.34, 0.07,
                             999.99,      21474836.47, -21474836.47, -0.0,    0.125, 0.1 + 0.2,
                             21474836.48, 1e-7,        1e300,        123.456, 4e9};
    for (double v : values) {
        Table t = makeCdsConfigDotz();
        for (Table::Value price :
             {Table::Value(1.5), Table::Value(v), Table::Value(nullptr), Table::Value(2.25)})
            t.appendRow({"1", nullptr, price, "", "789", "P", "", "", 2, "1", "C:\\"});
        const Table::NumberColumn prices = t.numberColumn(config::VRPRECITEM);
        EXPECT_EQ(std::bit_cast<uint64_t>(prices[1]), std::bit_cast<uint64_t>(v)) << v;
        EXPECT_EQ(prices[0], 1.5) << v;
        EXPECT_TRUE(prices.isNull(2) && t.isNullAt(2, config::VRPRECITEM) && prices[2] == 0) << v;
        EXPECT_EQ(t.numberAt(3, config::VRPRECITEM), 2.25) << v;
    }
}

} // namespace
} // namespace dotz
