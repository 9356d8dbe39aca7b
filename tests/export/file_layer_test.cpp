// The DOTZ writer against its file layer: failures injected, large files
// written a buffer at a time, files staged ahead of the day's checks,
// temporaries left by the dead.
#include "tests/support/dotz_files_fixture.h"

#include "export/column_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using testing::DotzFilesTest;

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
        const std::string m = refusal(false, &failing);
        EXPECT_NE(m.find("Não foi possível gravar o arquivo DOTZ "
                         "C:\\EXPORTA\\DOTZ\\20240315_4321_0001_500_1.txt"),
                  std::string::npos)
            << c.what << ": " << m;
        EXPECT_NE(m.find(c.reason), std::string::npos) << c.what << ": " << m;
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

// A large branch's file is written a buffer at a time: the same bytes in the
// same order, and a failed file still ends the day at that file.
TEST_F(DotzFilesTest, ALargeDayWritesTheSameBytesAndStopsAtAFailedFile)
{
    sale(t_.cdsDadosDotz, "0001", 7);
    write();
    const std::string one = read("EXPORTA/DOTZ/20240315_4321_0001_500_1.txt");
    t_.cdsDadosDotz = makeCdsDadosDotz();
    constexpr int kRows = 30'000; // per branch: a few buffers each
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
        void beginStaged(const std::string& path) override
        {
            if (++files == 2)
                throw FileError("não foi possível escrever em " + path, path);
            PosixFileSystem::beginStaged(path);
        }
    } failing;
    const std::string m = refusal(false, &failing);
    EXPECT_NE(m.find("C:\\EXPORTA\\DOTZ\\20240315_4321_0002_500_1.txt"), std::string::npos) << m;
}

// A large file begun under the name of an early row goes where its last row
// names it, in another folder or under another name, with the same bytes.
TEST_F(DotzFilesTest, ALargeFileGoesWhereItsLastRowNamesIt)
{
    fs::create_directories(root_ / "EXPORTA/B");
    constexpr int kRows = 20'000;
    for (int i = 0; i < kRows; ++i)
        sale(t_.cdsDadosDotz, "0001", 7);
    sale(t_.cdsDadosDotz, "0001", 7, "2024-03-15", "4321", "C:\\EXPORTA\\B\\");
    for (int i = 0; i < kRows; ++i)
        sale(t_.cdsDadosDotz, "0002", 7);
    sale(t_.cdsDadosDotz, "0002", 7, "2024-03-15", "9999");
    const DayResult r = write();
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(filesIn("EXPORTA/DOTZ"), std::vector<std::string>{"20240315_9999_0002_500_1.txt"});
    EXPECT_EQ(filesIn("EXPORTA/B/DOTZ"), std::vector<std::string>{"20240315_4321_0001_500_1.txt"});
    const std::string moved = read("EXPORTA/B/DOTZ/20240315_4321_0001_500_1.txt");
    EXPECT_EQ(moved.size(), r.files[0].bytes);
    EXPECT_EQ(std::count(moved.begin(), moved.end(), '\n'), kRows + 1);
}

// A large day's files are staged as its rows come, more of them than stay open
// at once: nothing is in place, nor any folder left, when the day is refused,
// and the same bytes are in place when it passes.
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
    const auto day = [&](bool itemsApart) {
        ExportTables items;
        item(items.cdsDotzExtra, "0001");
        if (itemsApart) {
            item(items.cdsDotzExtra, "0002");
            item(items.cdsDotzExtra, "0001");
        }
        DayWriter writer(day_, false, lines, paths_, posix);
        writer.slot(0);
        writer.slot(1).rows(t_.cdsDadosDotz.store(), 0);
        PieceSink& itemRows = writer.slot(2);
        for (const std::string& n : filesIn("EXPORTA/DOTZ"))
            EXPECT_EQ(n[0], '.') << n << " in place before the day's checks";
        EXPECT_EQ(filesIn("EXPORTA/DOTZ").size(), branches.size());
        itemRows.rows(items.cdsDotzExtra.store(), 0);
        writer.slot(3);
        return writer.GravaArquivosDotz();
    };
    EXPECT_THROW(day(true), Error);
    EXPECT_FALSE(fs::exists(root_ / "EXPORTA/DOTZ"));

    const DayResult r = day(false);
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

TEST_F(DotzFilesTest, AFailedFlushPutsNoneOfTheDayInPlace)
{
    sale(t_.cdsDadosDotz, "0001", 1);
    sale(t_.cdsDadosDotz, "0002", 1);
    sale(t_.cdsDadosDotz, "0003", 1);
    Syscalls calls = realSyscalls();
    calls.fsync = failingFsync;
    PosixFileSystem failing(calls);
    const std::string m = refusal(false, &failing);
    EXPECT_NE(m.find("Não foi possível gravar o arquivo DOTZ "
                     "C:\\EXPORTA\\DOTZ\\20240315_4321_0002_500_1.txt: não "
                     "foi possível levar ao disco"),
              std::string::npos)
        << m;
    EXPECT_FALSE(fs::exists(root_ / "EXPORTA/DOTZ"));
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
    // Folders already there: the failing one is the first of those flushed.
    fs::create_directories(root_ / "EXPORTA/B/DOTZ");
    fs::create_directories(root_ / "EXPORTA/DOTZ");
    Syscalls calls = realSyscalls();
    calls.fsync = failingFolderFsync;
    PosixFileSystem failing(calls);
    const std::string m = refusal(false, &failing);
    EXPECT_NE(m.find("Os arquivos DOTZ estão gravados, mas não foi possível levar ao disco a "
                     "pasta " +
                     (root_ / "EXPORTA/B/DOTZ").string()),
              std::string::npos)
        << m;
    EXPECT_EQ(filesIn("EXPORTA/DOTZ").size(), 2u);
    EXPECT_EQ(filesIn("EXPORTA/B/DOTZ"), std::vector<std::string>{"20240315_4321_0002_500_1.txt"});
}

// A day goes in place whole, a branch's files together, or the error says
// exactly which of its files are.
bool openOn0002(int fd)
{
    char target[512] = {};
    return ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) >
               0 &&
           std::string_view(target).find("_0002_") != std::string_view::npos;
}
ssize_t fullOn0002(int fd, const void* buf, size_t n)
{
    if (openOn0002(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, buf, n);
}
int renames = 0;
int fourthRenameFails(const char* from, const char* to)
{
    if (++renames == 4) {
        errno = EIO;
        return -1;
    }
    return ::rename(from, to);
}
int noInodes(const char*, mode_t)
{
    errno = ENOSPC;
    return -1;
}

TEST_F(DotzFilesTest, ADayGoesInPlaceWholeOrSaysWhichFilesAre)
{
    for (const char* branch : {"0001", "0002", "0003"}) {
        sale(t_.cdsDadosDotz, branch, 1);
        item(t_.cdsDotzExtra, branch);
    }
    Syscalls full = realSyscalls(), renaming = realSyscalls(), mkdirs = realSyscalls();
    full.write = fullOn0002;
    renaming.rename = fourthRenameFails;
    mkdirs.mkdir = noInodes;
    struct Case
    {
        const char* what;
        const Syscalls& calls;
        const char* says;
        std::vector<std::string> inPlace;
    } cases[] = {
        {"a write fails", full, "20240315_4321_0002_500_1.txt: não foi possível escrever", {}},
        {"a folder cannot be made", mkdirs, "não foi possível criar a pasta", {}},
        {"the fourth rename fails",
         renaming,
         "(EIO). Do dia 15/03/2024, 3 dos 6 arquivos estão no lugar: os da filial 0001 e, da "
         "filial "
         "0002, o 500.",
         {"20240315_4321_0001_500_1.txt", "20240315_4321_0001_510_1.txt",
          "20240315_4321_0002_500_1.txt"}},
    };
    for (const Case& c : cases) {
        renames = 0;
        PosixFileSystem failing(c.calls);
        const std::string m = refusal(false, &failing);
        EXPECT_NE(m.find(c.says), std::string::npos) << c.what << ": " << m;
        EXPECT_EQ(m.find("ENOENT"), std::string::npos) << c.what << ": " << m;
        EXPECT_EQ(filesIn("EXPORTA/DOTZ"), c.inPlace) << c.what;
        fs::remove_all(root_ / "EXPORTA/DOTZ");
    }
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
    // Also in a folder the day names but does not write to.
    fs::create_directories(root_ / "EXPORTA/B/DOTZ");
    std::ofstream(root_ / "EXPORTA/B/DOTZ" / dead) << "half";
    t_.cdsDadosDotz = makeCdsDadosDotz();
    sale(t_.cdsDadosDotz, "0002", 1, "2024-03-15", ""); // the day is refused
    sale(t_.cdsDadosDotz, "0001", 1, "2024-03-15", "4321", "C:\\EXPORTA\\B\\");
    refusal();
    EXPECT_EQ(filesIn("EXPORTA/B/DOTZ"), std::vector<std::string>{});
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
