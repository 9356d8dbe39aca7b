#include "export/error.h"
#include "export/export_tables.h"

#include <gtest/gtest.h>

#include <bit>

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
    t.appendRow({"0001", nullptr, "1", "", nullptr, nullptr, nullptr, 2.5, nullptr, nullptr,
                 nullptr, 150});
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
    auto name = [](int i) { return std::string(40, static_cast<char>('a' + i % 26)) + std::to_string(i); };
    for (int i = 0; i < 30000; ++i)
        t.appendRow({std::to_string(i % 10000), nullptr, 1.5, i % 7 ? Table::Value(name(i)) : nullptr,
                     "789", "P", "", "", 2, "1", "C:\\"});
    EXPECT_EQ(t.rowCount(), 30000u);
    for (int i = 0; i < 30000; ++i)
        ASSERT_EQ(t.textAt(static_cast<size_t>(i), config::NMPRODUTO), i % 7 ? name(i) : "") << i;
    const Table::TextColumn names = t.textColumn(config::NMPRODUTO);
    EXPECT_TRUE(names.isNull(0) && !names.isNull(29999) && names[29999] == name(29999));
    EXPECT_FALSE(t.columnHoldsAnyOf(config::NMPRODUTO, "|\r\n"));
    t.appendRow({"1", nullptr, 1.5, "a|b", "789", "P", "", "", 2, "1", "C:\\"});
    EXPECT_TRUE(t.columnHoldsAnyOf(config::NMPRODUTO, "|"));
}

TEST(Table, NumbersReadBackBitForBit)
{
    // Each value after 1.5 and before a null and 2.25: the first list stays in
    // hundredths, the second makes the column hold doubles, the values before it too.
    const double values[] = {0, 1, -1, 2.5, 12.34, 0.07, 999.99, 21474836.47, -21474836.47,
                             -0.0, 0.125, 0.1 + 0.2, 21474836.48, 1e-7, 1e300, 123.456, 4e9};
    for (double v : values) {
        Table t = makeCdsConfigDotz();
        for (Table::Value price : {Table::Value(1.5), Table::Value(v), Table::Value(nullptr), Table::Value(2.25)})
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
