#include "export/error.h"
#include "export/export_tables.h"

#include <gtest/gtest.h>

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
    Table t = makeCdsConfigDotz();
    const std::string name(50, 'x');
    for (int i = 0; i < 30000; ++i) // over 1 MiB of names
        t.appendRow({std::to_string(i % 10000), nullptr, 1.5, name, "789", "P", "", "", 2, "1",
                     "C:\\"});
    EXPECT_EQ(t.rowCount(), 30000u);
    EXPECT_EQ(t.textAt(29999, config::NMPRODUTO), name);
    EXPECT_FALSE(t.columnHoldsAnyOf(config::NMPRODUTO, "|\r\n"));
}

} // namespace
} // namespace dotz
