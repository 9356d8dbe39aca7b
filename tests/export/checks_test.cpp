#include "export/checks.h"
#include "tests/support/loaded_day.h"

#include <gtest/gtest.h>

namespace dotz {
namespace {

void sale(ExportTables& t, const char* branch, const char* partner, const char* folder = "C:\\X\\")
{
    t.cdsDadosDotz.appendRow(
        {branch, "1", "1", "", "", "2024-03-15", "", 1, "", partner, folder, 1});
}
void item(ExportTables& t, const char* branch, const char* partner, const char* folder = "C:\\X\\")
{
    t.cdsDotzExtra.appendRow({branch, "1", "1", "", "", 1, 1, 1, "", "", partner, folder, 1});
}
void product(ExportTables& t, const char* branch, const char* partner,
             const char* folder = "C:\\X\\")
{
    t.cdsConfigDotz.appendRow({branch, "1", 1, "", "", "", "", "", 1, partner, folder});
}

std::string partnerRefusal(const ExportTables& t, bool with515)
{
    try {
        Vd_Parceiro(summaryOf(t, with515));
    } catch (const Refusal& r) {
        return r.cp1252();
    }
    return "";
}

const std::string kParc = "Opera\xE7\xE3o bloqueada. C\xF3"
                          "digo do parceiro n\xE3o cadastrado para as seguintes filiais: \r";

TEST(Checks, OneMessageNamesEveryLackingBranchOnceInCollectionOrder)
{
    ExportTables t;
    sale(t, "0001", "");
    sale(t, "0001", "4321");
    sale(t, "0002", "  ");
    item(t, "0001", nullptr);
    item(t, "0003", "");
    EXPECT_EQ(partnerRefusal(t, false), kParc + "0002, 0003, 0001.");
    // The day's summary holds the findings, each branch once.
    EXPECT_EQ(summaryOf(t, false).lackingPartner.codes().size(), 3u);
}

TEST(Checks, PromotionProductsAreScannedOnlyWithThe515File)
{
    ExportTables t;
    sale(t, "0001", "4321");
    product(t, "0003", "");
    EXPECT_EQ(partnerRefusal(t, false), "");
    EXPECT_EQ(partnerRefusal(t, true), kParc + "0003.");
}

TEST(Checks, EachCallStartsFromAnEmptyCollection)
{
    ExportTables t;
    sale(t, "0001", "");
    EXPECT_EQ(partnerRefusal(t, false), kParc + "0001.");
    t.cdsDadosDotz = makeCdsDadosDotz();
    sale(t, "0002", "");
    EXPECT_EQ(partnerRefusal(t, false), kParc + "0002.");
    t.cdsDadosDotz = makeCdsDadosDotz();
    EXPECT_EQ(partnerRefusal(t, false), ""); // empty day: nothing examined
    sale(t, "", "");                         // a lone branch without a code
    EXPECT_EQ(partnerRefusal(t, false), kParc + "(sem c\xF3"
                                                "digo).");
}

TEST(Checks, FolderCheckUsesItsOwnColumnAndMessage)
{
    ExportTables t;
    sale(t, "0001", "4321", "");
    sale(t, "0002", "", "C:\\X\\");
    try {
        Vd_Diretorio(summaryOf(t, false));
        FAIL() << "no refusal";
    } catch (const Refusal& r) {
        EXPECT_EQ(r.cp1252(),
                  "Opera\xE7\xE3o bloqueada. Diret\xF3rio destino do arquivo DOTZ n\xE3o "
                  "cadastrado para as seguintes filiais: \r0001.");
        EXPECT_NE(std::string(r.what()).find("Diretório destino"), std::string::npos); // UTF-8
    }
}

TEST(Checks, TillListGroupsRunsOfBranches)
{
    ExportTables t;
    EXPECT_EQ(Vd_Caixa(summaryOf(t, false)), " (Filial )");
    EXPECT_EQ(Vd_Caixa(DaySummary{}), " (Filial )"); // not kept
    t.cdsCaixa.appendRow({"0001", "001"});
    t.cdsCaixa.appendRow({"0001", "002"});
    EXPECT_EQ(Vd_Caixa(summaryOf(t, false)), "001, 002 (Filial 0001)");
    t.cdsCaixa.appendRow({"0002", "005"});
    t.cdsCaixa.appendRow({"0001", "003"});
    EXPECT_EQ(Vd_Caixa(summaryOf(t, false)),
              "001, 002 (Filial 0001),\r005 (Filial 0002),\r003 (Filial 0001)");
    ExportTables blankFirst;
    blankFirst.cdsCaixa.appendRow({"0001", ""});
    blankFirst.cdsCaixa.appendRow({"0001", "002"});
    EXPECT_EQ(Vd_Caixa(summaryOf(blankFirst, false)), ", 002 (Filial 0001)");
}

} // namespace
} // namespace dotz
