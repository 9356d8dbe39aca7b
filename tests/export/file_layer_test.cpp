// The DOTZ writer against its file layer: failures injected, a large day's
// threads, files staged ahead of the day's checks, temporaries left by the dead.
#include "tests/support/dotz_files_fixture.h"

#include "export/format_ahead.h"

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
    const std::string m = refusal(false, &failing);
    EXPECT_NE(m.find("C:\\EXPORTA\\DOTZ\\20240315_4321_0002_500_1.txt"), std::string::npos) << m;
}

// Formatted on two threads, files still come out in order, and a file whose
// formatting failed fails in its turn, after every file before it.
TEST(FormatAhead, FilesComeOutInOrderUpToAFailedOne)
{
    FormatAhead ahead(40, 2, [](size_t i, LineList& lines) {
        if (i == 25)
            throw Error("file 25");
        lines.clear();
        const std::string text = std::to_string(i);
        char* at = lines.reserveLine(text.size());
        lines.commitLine(std::copy(text.begin(), text.end(), at));
    });
    for (size_t i = 0; i < 25; ++i) {
        ASSERT_EQ(ahead.lines(i).text(), std::to_string(i) + "\r\n");
        ahead.release(i);
    }
    EXPECT_THROW(ahead.lines(25), Error);
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
    const std::string m = refusal(false, &failing);
    EXPECT_NE(m.find("Não foi possível gravar o arquivo DOTZ "
                     "C:\\EXPORTA\\DOTZ\\20240315_4321_0002_500_1.txt: não "
                     "foi possível levar ao disco"),
              std::string::npos)
        << m;
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
    const std::string m = refusal(false, &failing);
    EXPECT_NE(m.find("Os arquivos DOTZ estão gravados, mas não foi possível levar ao disco a "
                     "pasta " +
                     (root_ / "EXPORTA/B/DOTZ").string()),
              std::string::npos)
        << m;
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
