#include "export/dotz_files.h"
#include "export/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using V = Table::Value;

class DotzFilesTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() /
                ("dotz-files-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "EXPORTA");
        paths_.set("C", root_.string());
    }
    void TearDown() override { fs::remove_all(root_); }

    static void sale(Table& t, const char* branch, V points, const char* data = "2024-03-15",
                     const char* partner = "4321", const char* folder = "C:\\EXPORTA\\",
                     const char* customer = "1234567890123456")
    {
        t.appendRow({branch, "003", "0000123456", customer, "OPER01", data, "14:32:05", 1234.5,
                     "PROMO1", partner, folder, points});
    }
    static void item(Table& t, const char* branch, const char* folder = "C:\\EXPORTA\\")
    {
        t.appendRow({branch, "003", "0000123456", "1234567890123456", "0000004711", 9.9, 2, 19.8,
                     "7891234567895", "PROMO1", "4321", folder, 20});
    }
    static void product(Table& t, const char* branch, const char* name = "CAFE 500G")
    {
        t.appendRow({branch, "0000004711", 12.9, name, "7891234567895", "PROMO1", "2024-03-01",
                     "2024-03-31", 10, "4321", "C:\\EXPORTA\\"});
    }

    DayResult write(bool with515 = false, FileSystem* fsys = nullptr)
    {
        PosixFileSystem posix;
        LineList lines;
        DayResult r = GravaArquivosDotz(t_, day_, with515, lines, paths_, fsys ? *fsys : posix);
        EXPECT_TRUE(lines.empty());
        return r;
    }
    std::string read(const std::string& relative) const
    {
        std::ifstream in(root_ / relative, std::ios::binary);
        EXPECT_TRUE(in) << relative << " is missing";
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> filesIn(const std::string& relative) const
    {
        std::vector<std::string> names;
        if (fs::exists(root_ / relative))
            for (const auto& e : fs::directory_iterator(root_ / relative))
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string refusal(bool with515 = false)
    {
        try {
            write(with515);
        } catch (const Error& e) {
            return e.what();
        }
        return "(written)";
    }

    fs::path root_;
    PathMap paths_;
    ExportTables t_;
    Day day_ = *Day::fromYmd(2024, 3, 15);
};

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
        const char* refusal; // nullptr: the day is written
    } cases[] = {
        {"field of a record",
         [&](ExportTables& t) {
             sale(t.cdsDadosDotz, "0002", 1, "2024-03-15", "1", "C:\\EXPORTA\\", longId);
         },
         false,
         "tabela cdsDadosDotz, filial 0002: linha 2, coluna CDIDCLIENTEDOTZ: o texto de 21 "
         "caracteres excede a largura de 20 da coluna."},
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
    }
}

TEST_F(DotzFilesTest, ASeparatorInASaleWithoutPointsIsNotRefused)
{
    sale(t_.cdsDadosDotz, "0001", 0, "2024-03-15", "4321", "C:\\EXPORTA\\", "12|34");
    EXPECT_EQ(write().files.size(), 1u);
}

// Failures injected into the file layer: the error names the DOTZ file, the
// temporary is gone, and an earlier file of that name is intact.
int failingWrites = 0;
ssize_t fullDisk(int fd, const void* buf, size_t n)
{
    if (failingWrites > 0 && --failingWrites == 0) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, buf, n < 8 ? n : 8); // short writes must be continued
}
int failingRename(const char*, const char*)
{
    errno = EACCES;
    return -1;
}

TEST_F(DotzFilesTest, AFailedWriteLeavesNoTemporaryAndKeepsTheEarlierFile)
{
    sale(t_.cdsDadosDotz, "0001", 1);
    write();
    const std::string before = read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt");
    t_.cdsDadosDotz = makeCdsDadosDotz();
    sale(t_.cdsDadosDotz, "0001", 2);
    sale(t_.cdsDadosDotz, "0001", 3);

    Syscalls full = realSyscalls();
    full.write = fullDisk;
    Syscalls locked = realSyscalls();
    locked.rename = failingRename;
    struct Case
    {
        const char* what;
        const Syscalls& calls;
        const char* reason;
    } cases[] = {{"disk full", full, "não foi possível escrever em"},
                 {"rename refused", locked, "não foi possível substituir"}};
    for (const Case& c : cases) {
        failingWrites = 3;
        PosixFileSystem failing(c.calls);
        try {
            write(false, &failing);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const Error& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find("Não foi possível gravar o arquivo DOTZ "
                             "C:\\EXPORTA\\DOTZ\\20240315_4321_0001_500_1.txt"),
                      std::string::npos)
                << m;
            EXPECT_NE(m.find(c.reason), std::string::npos) << m;
        }
        EXPECT_EQ(filesIn("EXPORTA/DOTZ"),
                  std::vector<std::string>{"20240315_4321_0001_500_1.txt"});
        EXPECT_EQ(read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt"), before);
    }
    failingWrites = 0;
    PosixFileSystem shortWrites(full);
    write(false, &shortWrites);
    EXPECT_EQ(std::count_if(before.begin(), before.end(), [](char) { return true; }) * 2,
              static_cast<long>(read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt").size()));
}

// A large day's files are formatted ahead on a thread: the same bytes in the same
// order, and a failed file still ends the day at that file.
TEST_F(DotzFilesTest, ALargeDayWritesTheSameBytesAndStopsAtAFailedFile)
{
    sale(t_.cdsDadosDotz, "0001", 7);
    write();
    const std::string one = read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt");
    t_.cdsDadosDotz = makeCdsDadosDotz();
    constexpr int kRows = 30'000; // per branch; two branches pass the threshold
    for (const char* branch : {"0001", "0002"})
        for (int i = 0; i < kRows; ++i)
            sale(t_.cdsDadosDotz, branch, 7);
    write();
    std::string many;
    for (int i = 0; i < kRows; ++i)
        many += one;
    EXPECT_TRUE(read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt") == many);

    struct FailingSecond : PosixFileSystem
    {
        int files = 0;
        void stageFile(const std::string& path, std::string_view data) override
        {
            if (++files == 2)
                throw FileError("não foi possível escrever em " + path, path);
            PosixFileSystem::stageFile(path, data);
        }
    } failing;
    try {
        write(false, &failing);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("C:\\EXPORTA\\DOTZ\\20240315_4321_0002_500_1.txt"),
                  std::string::npos)
            << e.what();
    }
}

// A large day's sale files are staged ahead of the day's checks, more of them than
// stay open at once: nothing is in place, nor any folder left, when the day is
// refused, and the same bytes are in place when it passes.
TEST_F(DotzFilesTest, SaleFilesStagedAheadGoInPlaceOnlyWithTheDay)
{
    std::vector<std::string> branches;
    for (int b = 0; b < 70; ++b)
        branches.push_back("B" + std::to_string(100 + b));
    for (const std::string& b : branches)
        for (int i = 0; i < 720; ++i)
            sale(t_.cdsDadosDotz, b.c_str(), i + 1);
    item(t_.cdsDotzExtra, "0001");
    write();
    std::vector<std::string> names = filesIn("EXPORTA/DOTZ");
    std::vector<std::string> before;
    for (const std::string& n : names)
        before.push_back(read("EXPORTA/DOTZ/" + n));
    fs::remove_all(root_ / "EXPORTA/DOTZ");

    PosixFileSystem posix;
    LineList lines;
    item(t_.cdsDotzExtra, "0002");
    item(t_.cdsDotzExtra, "0001"); // the items' branch rows apart: the day is refused
    StagedAhead ahead = stageSalesAhead(t_.cdsDadosDotz, day_, lines, paths_, posix);
    ASSERT_EQ(ahead.files.size(), branches.size());
    for (const std::string& n : filesIn("EXPORTA/DOTZ"))
        EXPECT_EQ(n[0], '.') << n << " in place before the day's checks";
    EXPECT_THROW(GravaArquivosDotz(t_, day_, false, lines, paths_, posix, &ahead), Error);
    EXPECT_FALSE(fs::exists(root_ / "EXPORTA/DOTZ"));

    t_.cdsDotzExtra = makeCdsDotzExtra();
    item(t_.cdsDotzExtra, "0001");
    ahead = stageSalesAhead(t_.cdsDadosDotz, day_, lines, paths_, posix);
    ASSERT_EQ(ahead.files.size(), branches.size());
    const DayResult r = GravaArquivosDotz(t_, day_, false, lines, paths_, posix, &ahead);
    EXPECT_EQ(r.files.size(), names.size());
    ASSERT_EQ(filesIn("EXPORTA/DOTZ"), names);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_TRUE(read("EXPORTA/DOTZ/" + names[i]) == before[i]) << names[i];
}

// Flushes run side by side: the failing one is found by its file, not its turn.
int failingFsync(int fd)
{
    char target[512] = {};
    if (::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) >
            0 &&
        std::string_view(target).find("_0002_") != std::string_view::npos) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

TEST_F(DotzFilesTest, FilesFlushedTogetherBeforeAFailedFlushStillGoInPlace)
{
    sale(t_.cdsDadosDotz, "0001", 1);
    sale(t_.cdsDadosDotz, "0002", 1);
    sale(t_.cdsDadosDotz, "0003", 1);
    Syscalls calls = realSyscalls();
    calls.fsync = failingFsync;
    PosixFileSystem failing(calls);
    try {
        write(false, &failing);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("Não foi possível gravar o arquivo DOTZ "
                                             "C:\\EXPORTA\\DOTZ\\20240315_4321_0002_500_1.txt: não "
                                             "foi possível levar ao disco"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(filesIn("EXPORTA/DOTZ"), std::vector<std::string>{"20240315_4321_0001_500_1.txt"});
}

// A folder's flush that fails while the others run is named; every file stays.
int failingFolderFsync(int fd)
{
    struct stat st;
    char target[512] = {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) >
            0 &&
        std::string_view(target).ends_with("/B/DOTZ")) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

TEST_F(DotzFilesTest, AFolderWhoseFlushFailsIsNamedAndEveryFileStays)
{
    sale(t_.cdsDadosDotz, "0001", 1);
    sale(t_.cdsDadosDotz, "0002", 1, "2024-03-15", "4321", "C:\\EXPORTA\\B\\");
    sale(t_.cdsDadosDotz, "0003", 1);
    fs::create_directories(root_ / "EXPORTA/B");
    Syscalls calls = realSyscalls();
    calls.fsync = failingFolderFsync;
    PosixFileSystem failing(calls);
    try {
        write(false, &failing);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("Os arquivos DOTZ estão gravados, mas não foi "
                                             "possível levar ao disco a pasta " +
                                             (root_ / "EXPORTA/B/DOTZ").string()),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(filesIn("EXPORTA/DOTZ").size(), 2u);
    EXPECT_EQ(filesIn("EXPORTA/B/DOTZ"), std::vector<std::string>{"20240315_4321_0002_500_1.txt"});
}

TEST_F(DotzFilesTest, TemporariesOfDeadWritersAreSweptAndLiveOnesKept)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0); // a process id that is surely gone
    const std::string name = "20240315_4321_0001_500_1.txt";
    const std::string prefix = PosixFileSystem::temporaryPrefix(name);
    fs::create_directories(root_ / "EXPORTA/DOTZ");
    const std::string dead = prefix + std::to_string(child) + ".a1b2c3";
    const std::string live = prefix + std::to_string(::getppid()) + ".d4e5f6";
    const std::string other = "." + name + ".otherhost." + std::to_string(child) + ".g7h8i9";
    // Any file's temporary in a folder the run writes to, not only the file's own.
    const std::string deadOfAnother =
        PosixFileSystem::temporaryPrefix("20240314_4321_0009_510_1.txt") + std::to_string(child) +
        ".j1k2l3";
    for (const std::string& f : {dead, live, other, deadOfAnother})
        std::ofstream(root_ / "EXPORTA/DOTZ" / f) << "half";
    sale(t_.cdsDadosDotz, "0001", 1);
    write();
    std::vector<std::string> kept{other, live, name};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(filesIn("EXPORTA/DOTZ"), kept);
}

TEST_F(DotzFilesTest, AMissingFolderFailsNamingTheFile)
{
    sale(t_.cdsDadosDotz, "0001", 1, "2024-03-15", "4321", "C:\\NAOEXISTE\\");
    const std::string message = refusal();
    EXPECT_NE(message.find("Não foi possível gravar o arquivo DOTZ "
                           "C:\\NAOEXISTE\\DOTZ\\20240315_4321_0001_500_1.txt"),
              std::string::npos)
        << message;
}

TEST_F(DotzFilesTest, FilesAreReadableByOthers)
{
    sale(t_.cdsDadosDotz, "0001", 1);
    write();
    const auto perms =
        fs::status(root_ / "EXPORTA/DOTZ/20240315_4321_0001_500_1.txt").permissions();
    EXPECT_NE(perms & fs::perms::others_read, fs::perms::none);
}

} // namespace
} // namespace dotz
