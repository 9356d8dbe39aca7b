#include "tests/support/dotz_files_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using testing::DotzFilesTest;

TEST_F(DotzFilesTest, RecordsAndFileNamesOfTheThreeTypes)
{
    sale(t_.cdsDadosDotz, "0001", 123);
    item(t_.cdsDotzExtra, "0001");
    product(t_.cdsConfigDotz, "0001");
    const DayResult r = write(true);
    EXPECT_EQ(read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt"),
              "500|4321|0001|PROMO1|00010030000123456|1234-5678-9012-3456||1234.50|2024-03-15|"
              "14:32:05|003|OPER01|123\r\n");
    EXPECT_EQ(read("EXPORTA/DOTZ/20240315_4321_0001_510_1.txt"),
              "510|4321|0001|003|PROMO1|00010030000123456|1234-5678-9012-3456|0000004711|"
              "7891234567895|2|9.90|19.80||20\r\n");
    EXPECT_EQ(read("EXPORTA/DOTZ/20240315_4321_0001_515_1.txt"),
              "515|4321|0001|PROMO1|0000004711|||7891234567895|CAFE 500G|12.90|10|2024-03-01|"
              "2024-03-31\r\n");
    ASSERT_EQ(r.files.size(), 3u);
    EXPECT_EQ(r.files[1].windowsPath, "C:\\EXPORTA\\DOTZ\\20240315_4321_0001_510_1.txt");
    EXPECT_EQ(filesIn("EXPORTA/DOTZ").size(), 3u); // no temporary left
}

TEST_F(DotzFilesTest, SalesWithoutPointsGiveNoLineButTheBranchKeepsItsFile)
{
    sale(t_.cdsDadosDotz, "A", 0);
    sale(t_.cdsDadosDotz, "A", -1);
    sale(t_.cdsDadosDotz, "A", nullptr);
    sale(t_.cdsDadosDotz, "A", 0.5);
    sale(t_.cdsDadosDotz, "B", 0, "2024-03-15", "P1", "C:\\EXPORTA\\");
    sale(t_.cdsDadosDotz, "B", 0, "2024-03-15", "P2", "C:\\EXPORTA\\B\\"); // last row names it
    fs::create_directories(root_ / "EXPORTA/B");
    write();
    const std::string a = read("EXPORTA/DOTZ/20240315_4321_A_500_1.txt");
    EXPECT_EQ(a.substr(a.size() - 6), "|0,5\r\n");
    EXPECT_EQ(std::count(a.begin(), a.end(), '\n'), 1);
    EXPECT_EQ(read("EXPORTA/B/DOTZ/20240315_P2_B_500_1.txt"), "");
    EXPECT_FALSE(fs::exists(root_ / "EXPORTA/DOTZ/20240315_P1_B_500_1.txt"));
}

TEST_F(DotzFilesTest, OneFilePerBranchRunWithLinesInRowOrder)
{
    sale(t_.cdsDadosDotz, "A", 1);
    sale(t_.cdsDadosDotz, "A", 2);
    sale(t_.cdsDadosDotz, "B", 3, "2024-03-16");
    const DayResult r = write();
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].records, 2u);
    const std::string a = read("EXPORTA/DOTZ/20240315_4321_A_500_1.txt");
    EXPECT_LT(a.find("|1\r\n"), a.find("|2\r\n"));
    // The 500 date part is the branch's own, not the next branch's.
    EXPECT_EQ(r.files[1].windowsPath, "C:\\EXPORTA\\DOTZ\\20240316_4321_B_500_1.txt");
    EXPECT_EQ(read("EXPORTA/DOTZ/20240316_4321_B_500_1.txt").size(),
              std::string("500|4321|B|PROMO1|B0030000123456|1234-5678-9012-3456||1234.50|"
                          "2024-03-16|14:32:05|003|OPER01|3\r\n")
                  .size());
}

TEST_F(DotzFilesTest, DatePartComesFromDataAsItIs)
{
    struct Case
    {
        const char* data;
        const char* name;
    } cases[] = {
        {"2024-03-15", "20240315_4321_A_500_1.txt"},
        {"", "_4321_A_500_1.txt"},
        {"2024-3", "20243_4321_A_500_1.txt"},
        {"2024/../15", "2024..15_4321_A_500_1.txt"}, // ".." in a name leads nowhere
    };
    for (const Case& c : cases) {
        t_.cdsDadosDotz = makeCdsDadosDotz();
        sale(t_.cdsDadosDotz, "A", 1, c.data);
        EXPECT_EQ(write().files.at(0).windowsPath, std::string("C:\\EXPORTA\\DOTZ\\") + c.name);
    }
}

TEST_F(DotzFilesTest, EmptyDataSetsAndThe515SwitchGiveNoFileAndNoFolder)
{
    item(t_.cdsDotzExtra, "0001", "C:\\EXPORTA\\X\\");
    product(t_.cdsConfigDotz, "0001");
    fs::create_directories(root_ / "EXPORTA/X");
    const DayResult r = write(false);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].recordType, 510);
    EXPECT_FALSE(fs::exists(root_ / "EXPORTA/DOTZ")); // 515 switched off: not even its folder
    EXPECT_TRUE(write(true).files.size() == 2);
}

TEST_F(DotzFilesTest, FieldFormats)
{
    struct Case
    {
        const char* customer;
        const char* written;
    } ids[] = {
        {"1234567890123456", "1234-5678-9012-3456"},
        {"123456789012345", "123456789012345"},
        {"12345678901234567", "12345678901234567"},
        {"", ""},
    };
    for (const Case& c : ids) {
        char out[32];
        EXPECT_EQ(std::string(out, putCustomerId(out, c.customer)), c.written);
    }
    // Amount null reads 0.00; a null plain number is an empty field; texts go unchanged.
    t_.cdsDotzExtra.appendRow({"0001", nullptr, "7", nullptr, " P ", nullptr, nullptr, -0.5,
                               nullptr, nullptr, "4321", "C:\\EXPORTA\\", 0.5});
    write();
    EXPECT_EQ(read("EXPORTA/DOTZ/20240315_4321_0001_510_1.txt"),
              "510|4321|0001|||00017|| P |||0.00|-0.50||0,5\r\n");
}

TEST_F(DotzFilesTest, AFolderWithoutItsClosingBackslashGetsDotzAppended)
{
    sale(t_.cdsDadosDotz, "0001", 5, "2024-03-15", "4321", "C:\\EXPORTA");
    const DayResult r = write();
    EXPECT_EQ(r.files[0].windowsPath, "C:\\EXPORTADOTZ\\20240315_4321_0001_500_1.txt");
    EXPECT_TRUE(fs::exists(root_ / "EXPORTADOTZ/20240315_4321_0001_500_1.txt"));
}

TEST_F(DotzFilesTest, ExportingTheSameDayTwiceKeepsTheSecondExport)
{
    sale(t_.cdsDadosDotz, "0001", 1);
    sale(t_.cdsDadosDotz, "0001", 2);
    write();
    t_.cdsDadosDotz = makeCdsDadosDotz();
    sale(t_.cdsDadosDotz, "0001", 9);
    write();
    const std::string text = read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt");
    EXPECT_EQ(text.substr(text.size() - 4), "|9\r\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_EQ(filesIn("EXPORTA/DOTZ").size(), 1u);
}

TEST_F(DotzFilesTest, RefusesTheWholeDayBeforeWritingAnyFile)
{
    struct Case
    {
        const char* what;
        std::function<void(ExportTables&)> fill;
        const char* message;
    } cases[] = {
        {"branch rows apart",
         [](ExportTables& t) {
             item(t.cdsDotzExtra, "A");
             item(t.cdsDotzExtra, "B");
             item(t.cdsDotzExtra, "A");
         },
         "tabela cdsDotzExtra, filial A: as linhas da filial não estão juntas (linhas 2 a 2, "
         "depois a linha 4)"},
        {"slash in partner code",
         [](ExportTables& t) { sale(t.cdsDadosDotz, "0002", 1, "2024-03-15", "../x"); },
         "tabela cdsDadosDotz, filial 0002: linha 2, coluna CDINTEGRADOTZ: o código do parceiro "
         "\"../x\" não pode fazer parte de um nome de arquivo"},
        {"DEL in partner code",
         [](ExportTables& t) {
             sale(t.cdsDadosDotz, "0002", 1, "2024-03-15",
                  "P\x7f"
                  "1");
         },
         "o código do parceiro \"P\\x7f1\" não pode fazer parte"},
        {"backslash in branch code", [](ExportTables& t) { product(t.cdsConfigDotz, "a\\b"); },
         "tabela cdsConfigDotz, filial a\\b: linha 1, coluna CDFILIAL: o código da filial \"a\\b\" "
         "não pode fazer parte"},
        {"empty branch code", [](ExportTables& t) { sale(t.cdsDadosDotz, "", 1); },
         "tabela cdsDadosDotz, filial (sem código): linha 2, coluna CDFILIAL: o código da filial "
         "está vazio"},
        {"slash in the date part",
         [](ExportTables& t) { sale(t.cdsDadosDotz, "0002", 1, "2024-0/-15"); },
         "linha 2, coluna DATA: a data \"20240/15\" não pode"},
        {"separator in a value",
         [](ExportTables& t) { product(t.cdsConfigDotz, "0002", "CAFE|500G"); },
         "tabela cdsConfigDotz, filial 0002: linha 1, coluna NMPRODUTO: \"CAFE|500G\" contém "
         "\"|\""},
        {"unmapped drive",
         [](ExportTables& t) { sale(t.cdsDadosDotz, "0002", 1, "2024-03-15", "1", "Z:\\X\\"); },
         "tabela cdsDadosDotz, filial 0002: linha 2, coluna DSDIRARQDOTZ: a pasta \"Z:\\X\\\" não "
         "pode receber arquivos DOTZ: o drive Z: do caminho"},
        {"folder that climbs out",
         [](ExportTables& t) { item(t.cdsDotzExtra, "0002", "C:\\..\\..\\fora\\"); },
         "tabela cdsDotzExtra, filial 0002: linha 2, coluna DSDIRARQDOTZ: a pasta "
         "\"C:\\..\\..\\fora\\\" não pode receber arquivos DOTZ: o caminho "
         "\"C:\\..\\..\\fora\\DOTZ\" contém \"..\""},
        {"DEL in a folder", [](ExportTables& t) { item(t.cdsDotzExtra, "0002", "C:\\EXP\x7f\\"); },
         "a pasta \"C:\\EXP\\x7f\\\" não pode receber arquivos DOTZ: o caminho "
         "\"C:\\EXP\\x7f\\DOTZ\" contém um caractere de controle"},
        {"folder that climbs back in",
         [](ExportTables& t) { item(t.cdsDotzExtra, "0002", "C:\\DOTZ\\..\\..\\"); },
         "contém \"..\""},
        {"POSIX folder outside the mapped ones",
         [](ExportTables& t) { item(t.cdsDotzExtra, "0002", "/etc/"); },
         "o caminho \"/etc/DOTZ\" não está numa pasta mapeada"},
    };
    for (const Case& c : cases) {
        t_ = ExportTables{};
        sale(t_.cdsDadosDotz, "0001", 1); // a good branch that must not be written either
        item(t_.cdsDotzExtra, "0001");
        c.fill(t_);
        const std::string message = refusal(true);
        EXPECT_TRUE(message.starts_with(
            "Operação bloqueada. Nenhum arquivo DOTZ de 15/03/2024 foi gravado: "))
            << c.what << ": " << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
        EXPECT_FALSE(fs::exists(root_ / "EXPORTA/DOTZ")) << c.what;
    }
}

TEST_F(DotzFilesTest, AValueNoFileCanCarryRefusesTheDayOnlyWhereItReachesAFile)
{
    const std::string longFolder = "C:\\" + std::string(100, 'X') + "\\";
    const char* longId = "123456789012345678901"; // 21 characters in a column of 20
    struct Case
    {
        const char* what;
        std::function<void(ExportTables&)> fill;
        bool with515;
        const char* refusal;       // nullptr: the day is written
        bool folderBefore = false; // the DOTZ folder is there, empty, before the day
    } cases[] = {
        {"field of a record",
         [&](ExportTables& t) {
             sale(t.cdsDadosDotz, "0002", 1, "2024-03-15", "1", "C:\\EXPORTA\\", longId);
         },
         false,
         "tabela cdsDadosDotz, filial 0002: linha 2, coluna CDIDCLIENTEDOTZ: o texto de 21 "
         "caracteres excede a largura de 20 da coluna."},
        {"field of a record, the folder there before",
         [&](ExportTables& t) {
             sale(t.cdsDadosDotz, "0002", 1, "2024-03-15", "1", "C:\\EXPORTA\\", longId);
         },
         false, "coluna CDIDCLIENTEDOTZ", true},
        {"field of a sale without points",
         [&](ExportTables& t) {
             sale(t.cdsDadosDotz, "0002", 0, "2024-03-15", "1", "C:\\EXPORTA\\", longId);
         },
         false, nullptr},
        {"folder of a row that names no file",
         [&](ExportTables& t) {
             item(t.cdsDotzExtra, "0002", longFolder.c_str());
             item(t.cdsDotzExtra, "0002");
         },
         false, nullptr},
        {"folder that names a file",
         [&](ExportTables& t) { item(t.cdsDotzExtra, "0002", longFolder.c_str()); }, false,
         "tabela cdsDotzExtra, filial 0002: linha 2, coluna DSDIRARQDOTZ: o texto de 104 "
         "caracteres"},
        {"partner code that names a file",
         [&](ExportTables& t) { sale(t.cdsDadosDotz, "0002", 0, "2024-03-15", longId); }, false,
         "linha 2, coluna CDINTEGRADOTZ"},
        {"branch of a promotion product, 515 off",
         [&](ExportTables& t) { product(t.cdsConfigDotz, "00002"); }, false, nullptr},
        {"branch of a promotion product, 515 on",
         [&](ExportTables& t) { product(t.cdsConfigDotz, "00002"); }, true,
         "tabela cdsConfigDotz, filial 00002: linha 1, coluna CDFILIAL: o texto de 5 caracteres"},
        {"till list",
         [&](ExportTables& t) {
             t.cdsCaixa.appendRow({"0001", "0001"});
         },
         true, nullptr},
    };
    for (const Case& c : cases) {
        fs::remove_all(root_ / "EXPORTA/DOTZ");
        if (c.folderBefore)
            fs::create_directories(root_ / "EXPORTA/DOTZ");
        t_ = ExportTables{};
        sale(t_.cdsDadosDotz, "0001", 1);
        item(t_.cdsDotzExtra, "0001");
        c.fill(t_);
        const std::string message = refusal(c.with515);
        if (!c.refusal) {
            EXPECT_EQ(message, "(written)") << c.what;
            continue;
        }
        EXPECT_NE(message.find(c.refusal), std::string::npos) << c.what << ": " << message;
        EXPECT_EQ(filesIn("EXPORTA/DOTZ"), std::vector<std::string>{}) << c.what;
        // A folder made for the day goes with it; one that was there stays.
        EXPECT_EQ(fs::exists(root_ / "EXPORTA/DOTZ"), c.folderBefore) << c.what;
    }
}

TEST_F(DotzFilesTest, ASeparatorInASaleWithoutPointsIsNotRefused)
{
    sale(t_.cdsDadosDotz, "0001", 0, "2024-03-15", "4321", "C:\\EXPORTA\\", "12|34");
    EXPECT_EQ(write().files.size(), 1u);
}

} // namespace
} // namespace dotz
