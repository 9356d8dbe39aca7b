#include "base/error.h"
#include "tests/support/export_tables.h"
#include "tests/support/packet_json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>

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
        R"([[1.5,"001","x","0001"],[null,"002",null,"0002"]])",
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
    EXPECT_EQ(t.asText(config::NMPRODUTO), "A\xC7\xDA"
                                           "CAR \x93\xC9"
                                           "DEN\x94 1kg \x80");
    EXPECT_EQ(t.asText(config::DSDIRARQDOTZ), "C:\\EXPORTA\\");
    // Width counts characters, not UTF-8 bytes: four accented letters fit text(4).
    Table c = makeCdsCaixa();
    c.loadPacket(caixaPacket(R"([["ÁÉÍÓ","ÇÃ\u00d5"]])"));
    EXPECT_EQ(c.asText(caixa::CDFILIAL), "\xC1\xC9\xCD\xD3");
    // A string's bytes are examined eight at a time: an escape or an accented
    // letter at every place in a word and past it, each row twice.
    std::string rows;
    for (size_t n = 0; n < 18; ++n)
        for (const char* tail : {"\\u00e9", "\u00e9", "\\\\"})
            for (int twice = 0; twice < 2; ++twice)
                rows += std::string(rows.empty() ? "[" : ",") + R"(["0001",")" +
                        std::string(n, 'x') + tail + R"("])";
    c.loadPacket(caixaPacket(rows + "]"));
    ASSERT_EQ(c.rowCount(), 18u * 3 * 2);
    for (size_t n = 0, r = 0; n < 18; ++n)
        for (const char* held : {"\xE9", "\xE9", "\\"})
            for (int twice = 0; twice < 2; ++twice, ++r)
                EXPECT_EQ(c.textAt(r, caixa::CDCAIXA), std::string(n, 'x') + held) << n;
}

TEST(Packet, RefusalsNameTableColumnAndRow)
{
    struct Case
    {
        const char* what;
        std::string rows;
        std::string columns;
        const char* expected;
    };
    const std::string num =
        R"([{"name":"CDFILIAL","type":"number"},{"name":"CDCAIXA","type":"text","size":3}])";
    const std::string missing = R"([{"name":"CDFILIAL","type":"text","size":4}])";
    const Case cases[] = {
        {"missing column", "[]", missing,
         "tabela cdsCaixa, coluna CDCAIXA: a coluna não consta do pacote."},
        {"missing first column", "[]", R"([{"name":"CDCAIXA","type":"text","size":3}])",
         "tabela cdsCaixa, coluna CDFILIAL: a coluna não consta do pacote."},
        {"column of another type", "[]", num,
         "tabela cdsCaixa, coluna CDFILIAL: a coluna é number no pacote, mas deveria ser text."},
        {"number for text", R"([["0001",3]])", kCaixaColumns,
         "tabela cdsCaixa, coluna CDCAIXA, linha 1: era esperado um texto, veio um número."},
        {"short row", R"([["0001"]])", kCaixaColumns,
         "tabela cdsCaixa, linha 1: a linha tem 1 valores, o pacote tem 2 colunas."},
        {"long row", R"([["0001","1","2"]])", kCaixaColumns,
         "tabela cdsCaixa, linha 1: a linha tem mais valores que as 2 colunas do pacote."},
        {"row not an array", R"([{"a":1}])", kCaixaColumns,
         "tabela cdsCaixa, linha 1: a linha não é uma lista JSON válida"},
        {"duplicate column", "[]",
         R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDFILIAL","type":"text","size":4}])",
         "tabela cdsCaixa, coluna CDFILIAL: a coluna aparece duas vezes no pacote."},
        {"unknown type", "[]", R"([{"name":"CDFILIAL","type":"date"}])",
         "tabela cdsCaixa, coluna CDFILIAL: tipo de coluna desconhecido \"date\"."},
        // Broken JSON ends the load where it is found, without reading on.
        {"broken column description", "[]",
         R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDCAIXA","type":"text"r]})",
         "tabela cdsCaixa, coluna CDCAIXA: a descrição da coluna não é JSON válido"},
        {"broken size", "[]", R"([{"name":"CDFILIAL","type":"text","size":4x},{"name":"CDCAIXA"}])",
         "tabela cdsCaixa, coluna CDFILIAL: a descrição da coluna não é JSON válido ou traz uma "
         "lista ou objeto (número que não pode ser lido)"},
        {"name not a text", "[]", R"([{"name":7,"type":"text"}])",
         "a descrição da coluna tem \"name\" que não é um texto"},
        {"broken row", R"([["0001","001"],["0002",}])", kCaixaColumns,
         "tabela cdsCaixa, coluna CDCAIXA, linha 2: o valor não é JSON válido"},
        {"broken undeclared value", R"([["0001","001",[1,}]])",
         R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDCAIXA","type":"text","size":3},{"name":"X","type":"number"}])",
         "tabela cdsCaixa, linha 1: o valor de uma coluna não declarada"},
        {"undeclared array", R"([["0001","001",[1]]])",
         R"([{"name":"CDFILIAL","type":"text","size":4},{"name":"CDCAIXA","type":"text","size":3},{"name":"X","type":"number"}])",
         "tabela cdsCaixa, linha 1: o valor de uma coluna não declarada"},
        {"unclosed rows", R"([["0001","001"])", kCaixaColumns, "tabela cdsCaixa"},
        {"misspelt null", R"([["0001",nul]])", kCaixaColumns,
         "tabela cdsCaixa, coluna CDCAIXA, linha 1: o valor não é JSON válido"},
        {"text not UTF-8", "[[\"0001\",\"\xff\"]]", kCaixaColumns,
         "tabela cdsCaixa: o pacote não é JSON (texto que não é UTF-8 válido)"},
        {"boolean for text", R"([["0001",true]])", kCaixaColumns,
         "tabela cdsCaixa, coluna CDCAIXA, linha 1: era esperado um texto, veio um valor lógico."},
        {"control character", "[[\"0001\",\"0\x01\"]]", kCaixaColumns,
         "tabela cdsCaixa: o pacote não é JSON"},
    };
    for (const Case& c : cases) {
        Table t = makeCdsCaixa();
        t.appendRow({"0007", "007"});
        const std::string error = loadError(t, caixaPacket(c.rows, c.columns));
        EXPECT_TRUE(
            error.starts_with("Operação bloqueada. Dados inválidos recebidos do servidor: "))
            << c.what << ": " << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
        EXPECT_TRUE(t.isEmpty()) << c.what; // nothing half-loaded stays
    }
    Table t = makeCdsDadosDotz();
    EXPECT_NE(loadError(t, Packet::fromJson("not json")).find("tabela cdsDadosDotz"),
              std::string::npos);
    EXPECT_NE(loadError(t, Packet::fromJson(R"({"rows":[]})")).find("não tem a lista \"columns\""),
              std::string::npos);
    EXPECT_NE(loadError(t, Packet()).find("nenhum pacote"), std::string::npos);
}

TEST(Packet, ValuesNoFileCanCarryLoadAsFaultsOfTheirRowAndColumn)
{
    Table t = makeCdsCaixa();
    t.loadPacket(caixaPacket(
        R"([["0001","001"],["00001","002"],["0001","a✓"],["0001","a✓"],["0001","a\u2713"],["0001","a\u2713"],["00001","3"],["00001","3"]])"));
    ASSERT_EQ(t.rowCount(), 8u);
    using F = Table::ValueFault;
    const auto& f = t.valueFaults();
    ASSERT_EQ(f.size(), 7u); // every row that holds a fault notes it, escaped or repeated
    for (uint32_t r = 2; r < 6; ++r)
        EXPECT_TRUE(f[r - 1].row == r && f[r - 1].kind == F::NotWindows1252) << r;
    EXPECT_TRUE(f[5].row == 6 && f[6].row == 7 && f[6].kind == F::TooLong);
    EXPECT_TRUE(f[0].row == 1 && f[0].column == caixa::CDFILIAL && f[0].kind == F::TooLong &&
                f[0].position == 5);
    EXPECT_TRUE(f[1].row == 2 && f[1].column == caixa::CDCAIXA && f[1].kind == F::NotWindows1252 &&
                f[1].position == 1);
    EXPECT_EQ(f[2].row, 3u); // a value equal to the row above's is still its own fault
    t.next();
    EXPECT_EQ(t.asText(caixa::CDFILIAL), "00001");
    t.next();
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "a?");
    t.loadPacket(caixaPacket("[]"));
    EXPECT_TRUE(t.valueFaults().empty());
}

TEST(Packet, WrongKindForNumberAndOutOfRangeNumbers)
{
    Table t = makeCdsDadosDotz();
    const std::string cols = testing::columnsJson(t);
    auto row = [&](const std::string& points) {
        return Packet::fromJson(
            R"({"columns":)" + cols +
            R"(,"rows":[["1","1","1","1","1","2024-01-01","10:00:00",1,"","","",)" + points +
            "]]}");
    };
    EXPECT_NE(loadError(t, row("\"12\""))
                  .find("tabela cdsDadosDotz, coluna NRDOTZ, linha 1: era esperado um número, veio "
                        "um texto."),
              std::string::npos);
    EXPECT_NE(loadError(t, row("1e999")).find("coluna NRDOTZ, linha 1"), std::string::npos);
    EXPECT_NE(loadError(t, row("true"))
                  .find("coluna NRDOTZ, linha 1: era esperado um número, veio um valor lógico."),
              std::string::npos);
    EXPECT_NE(loadError(t, row("[1]"))
                  .find("coluna NRDOTZ, linha 1: era esperado um número, veio uma lista."),
              std::string::npos);
    EXPECT_NE(loadError(t, row("nulo")).find("coluna NRDOTZ, linha 1: o valor não é JSON válido"),
              std::string::npos);
    t.loadPacket(row("null"));
    EXPECT_TRUE(t.isNull(dados::NRDOTZ));
    t.loadPacket(row("-0.5"));
    EXPECT_EQ(t.asText(dados::NRDOTZ), "-0,5");
}

TEST(Packet, NumbersLoadAsTheDecoderReadsThem)
{
    // Plain decimals are read from their text, the rest by the decoder; either way
    // each value is the double strtod gives, bit for bit, and the column may change
    // how it holds them midway.
    const char* tokens[] = {"0",           "1.5",    "1.50",       "-2.25",  "0.07",
                            "9999999.99",  "12.5 ",  "1e2",        "12.345", "21474836.47",
                            "21474836.48", "-0",     "-0.0",       "0.1",    "99999999",
                            "1E-7",        "100.10", "-9999999.99"};
    Table t = makeCdsConfigDotz();
    std::string rows;
    for (const char* tok : tokens)
        rows += std::string(rows.empty() ? "" : ",") + R"(["1","2",)" + tok +
                R"(,"","","","","",1,"",""])";
    const std::string cols = testing::columnsJson(t);
    t.loadPacket(Packet::fromJson(R"({"columns":)" + cols + R"(,"rows":[)" + rows + "]}"));
    ASSERT_EQ(t.rowCount(), std::size(tokens));
    for (size_t r = 0; r < std::size(tokens); ++r)
        EXPECT_EQ(std::bit_cast<uint64_t>(t.numberAt(r, config::VRPRECITEM)),
                  std::bit_cast<uint64_t>(std::strtod(tokens[r], nullptr)))
            << tokens[r];
    for (const char* bad : {"01", "1.", "-", "1.2.3", "--1"})
        EXPECT_NE(loadError(t, Packet::fromJson(R"({"columns":)" + cols + R"(,"rows":[["1","2",)" +
                                                bad + R"(,"","","","","",1,"",""]]})"))
                      .find("coluna VRPRECITEM, linha 1"),
                  std::string::npos)
            << bad;
}

TEST(Packet, APacketInsideALargerBufferLoadsInPlace)
{
    auto buffer = std::make_shared<std::string>(
        R"({"ok":true,"data":[{"columns":)" + std::string(kCaixaColumns) +
        R"(,"rows":[["0001","001"]]}]})" + std::string(Packet::kPadding, ' '));
    const size_t start = buffer->find(R"({"columns")");
    const size_t end = buffer->rfind("]}"); // the packet's closing brace is before it
    const Packet p = Packet::inBuffer(buffer, std::string_view(*buffer).substr(start, end - start));
    Table t = makeCdsCaixa();
    t.loadPacket(p);
    EXPECT_EQ(t.asText(caixa::CDCAIXA), "001");
}

} // namespace
} // namespace dotz
