#include "export/error.h"
#include "export/export_tables.h"

#include <gtest/gtest.h>

namespace dotz {
namespace {

const char* kCaixaColumns =
    R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDCAIXA","type":"text","size":3}])";

Packet caixaPacket(const std::string& rows, const std::string& columns = kCaixaColumns)
{
    return Packet::fromJson(R"({"columns":)" + columns + R"(,"rows":)" + rows + "}");
}

std::string loadError(Table& t, const Packet& p)
{
    try {
        t.loadPacket(p);
    } catch (const Error& e) {
        return e.what();
    }
    return "(loaded)";
}

TEST(Packet, LoadReplacesTheContentAndKeepsPacketOrder)
{
    Table t = makeCdsCaixa();
    t.loadPacket(caixaPacket(R"([["0002","001"],["0001","002"],["0001","003"]])"));
    ASSERT_EQ(t.rowCount(), 3u);
    EXPECT_EQ(t.asText(caixa::CDFILIAL), "0002"); // cursor on the first row
    t.loadPacket(caixaPacket(R"([["0009","009"]])"));
    ASSERT_EQ(t.rowCount(), 1u);
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "009");
    t.loadPacket(caixaPacket("[]"));
    EXPECT_TRUE(t.isEmpty());
    EXPECT_TRUE(t.eof());
}

TEST(Packet, ColumnsMatchByNameInAnyOrderAndUnknownOnesAreIgnored)
{
    Table t = makeCdsCaixa();
    t.loadPacket(caixaPacket(
        R"([[1.5,"001",{"x":[1]},"0001"],[null,"002",null,"0002"]])",
        R"([{"name":"EXTRA","type":"number"},{"name":"CDCAIXA","type":"text","size":3},)"
        R"({"name":"OTHER","type":"text","size":9},{"name":"CDFILIAL","type":"text","size":4}])"));
    EXPECT_EQ(t.asText(caixa::CDFILIAL), "0001");
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "001");
}

TEST(Packet, TextArrivesAsUtf8AndIsHeldAsWindows1252)
{
    Table t = makeCdsConfigDotz();
    const std::string cols =
        R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDPRODUTO","type":"text","size":10},)"
        R"({"name":"VRPRECITEM","type":"number"},{"name":"NMPRODUTO","type":"text","size":50},)"
        R"({"name":"CDBARPRODUTO","type":"text","size":30},{"name":"CDPROMOCAODOTZ","type":"text","size":20},)"
        R"({"name":"DTINIVIGPROD","type":"text","size":10},{"name":"DTFIMVIGPROD","type":"text","size":10},)"
        R"({"name":"VRPONTOPROD","type":"number"},{"name":"CDINTEGRADOTZ","type":"text","size":20},)"
        R"({"name":"DSDIRARQDOTZ","type":"text","size":100}])";
    t.loadPacket(Packet::fromJson(
        R"({"columns":)" + cols +
        R"(,"rows":[["0001","1",1,"AÇÚCAR “ÉDEN” 1kg €","","","","",1,"4321","C:\\EXPORTA\\"]]})"));
    EXPECT_EQ(t.asText(config::NMPRODUTO), "A\xC7\xDA" "CAR \x93\xC9" "DEN\x94 1kg \x80");
    EXPECT_EQ(t.asText(config::DSDIRARQDOTZ), "C:\\EXPORTA\\");
    // Width counts characters, not UTF-8 bytes: four accented letters fit text(4).
    Table c = makeCdsCaixa();
    c.loadPacket(caixaPacket(R"([["ÁÉÍÓ","ÇÃ\u00d5"]])"));
    EXPECT_EQ(c.asText(caixa::CDFILIAL), "\xC1\xC9\xCD\xD3");
}

TEST(Packet, RefusalsNameTableColumnAndRow)
{
    struct Case {
        const char* what;
        std::string rows;
        std::string columns;
        const char* expected;
    };
    const std::string num = R"([{"name":"CDFILIAL","type":"number"},{"name":"CDCAIXA","type":"text","size":3}])";
    const std::string missing = R"([{"name":"CDFILIAL","type":"text","size":4}])";
    const Case cases[] = {
        {"missing column", "[]", missing, "table cdsCaixa, column CDCAIXA: column is missing from the packet"},
        {"column of another type", "[]", num, "table cdsCaixa, column CDFILIAL: column is number in the packet, text expected"},
        {"text too long", R"([["0001","001"],["00001","002"]])", kCaixaColumns,
         "table cdsCaixa, column CDFILIAL, row 2: text of 5 characters is longer than the column's width of 4"},
        {"number for text", R"([["0001",3]])", kCaixaColumns,
         "table cdsCaixa, column CDCAIXA, row 1: a text was expected, found a number"},
        {"character outside Windows-1252", R"([["0001","a✓"]])", kCaixaColumns,
         "table cdsCaixa, column CDCAIXA, row 1: character 2 of the text cannot be held in Windows-1252"},
        {"C1 control character", R"([["0001","\u0081"]])", kCaixaColumns,
         "table cdsCaixa, column CDCAIXA, row 1: character 1 of the text cannot be held in Windows-1252"},
        {"short row", R"([["0001"]])", kCaixaColumns, "table cdsCaixa, row 1: row has 1 values, the packet has 2 columns"},
        {"long row", R"([["0001","1","2"]])", kCaixaColumns,
         "table cdsCaixa, row 1: row has more values than the packet's 2 columns"},
        {"row not an array", R"([{"a":1}])", kCaixaColumns, "table cdsCaixa, row 1: row is not a JSON array"},
        {"duplicate column", "[]",
         R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDFILIAL","type":"text","size":4}])",
         "table cdsCaixa, column CDFILIAL: column appears twice in the packet"},
        {"unknown type", "[]", R"([{"name":"CDFILIAL","type":"date"}])",
         "table cdsCaixa, column CDFILIAL: unknown column type \"date\""},
    };
    for (const Case& c : cases) {
        Table t = makeCdsCaixa();
        t.appendRow({"0007", "007"});
        EXPECT_EQ(loadError(t, caixaPacket(c.rows, c.columns)), c.expected) << c.what;
        EXPECT_TRUE(t.isEmpty()) << c.what; // nothing half-loaded stays
    }
    Table t = makeCdsDadosDotz();
    EXPECT_NE(loadError(t, Packet::fromJson("not json")).find("table cdsDadosDotz"), std::string::npos);
    EXPECT_NE(loadError(t, Packet::fromJson(R"({"rows":[]})")).find("no \"columns\""), std::string::npos);
    EXPECT_NE(loadError(t, Packet()).find("no packet"), std::string::npos);
}

TEST(Packet, WrongKindForNumberAndOutOfRangeNumbers)
{
    Table t = makeCdsDadosDotz();
    std::string cols = "[";
    for (const ColumnDef& d : t.columns())
        cols += std::string(cols.size() > 1 ? "," : "") + R"({"name":")" + d.name + R"(","type":")" +
                (d.type == ColumnType::Text ? "text\",\"size\":" + std::to_string(d.size)
                                            : std::string("number\"")) + "}";
    cols += "]";
    auto row = [&](const std::string& points) {
        return Packet::fromJson(R"({"columns":)" + cols +
                                R"(,"rows":[["1","1","1","1","1","2024-01-01","10:00:00",1,"","","",)" +
                                points + "]]}");
    };
    EXPECT_EQ(loadError(t, row("\"12\"")),
              "table cdsDadosDotz, column NRDOTZ, row 1: a number was expected, found a string");
    EXPECT_NE(loadError(t, row("1e999")).find("column NRDOTZ, row 1"), std::string::npos);
    t.loadPacket(row("-0.5"));
    EXPECT_EQ(t.asText(dados::NRDOTZ), "-0,5");
}

TEST(Packet, APacketInsideALargerBufferLoadsInPlace)
{
    auto buffer = std::make_shared<std::string>(
        R"({"ok":true,"data":[{"columns":)" + std::string(kCaixaColumns) +
        R"(,"rows":[["0001","001"]]}]})" + std::string(Packet::kPadding, ' '));
    const size_t start = buffer->find(R"({"columns")");
    const size_t end = buffer->rfind("]}") ; // the packet's closing brace is before it
    const Packet p = Packet::inBuffer(buffer, std::string_view(*buffer).substr(start, end - start));
    Table t = makeCdsCaixa();
    t.loadPacket(p);
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "001");
}

} // namespace
} // namespace dotz
