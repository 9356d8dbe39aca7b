#include "base/error.h"
#include "export/plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;

// The writer's steps for one file in `folder`: "" when planned, else the error.
std::string planFile(PlanningFileSystem& planner, const std::string& folder,
                     const std::string& name = "f.txt")
{
    if (!planner.isDirectory(folder))
        planner.createDirectory(folder);
    try {
        planner.replaceFile(folder + "/" + name, "500|x\r\n");
        return {};
    } catch (const Error& e) {
        return e.what();
    }
}

TEST(PlanningFileSystem, PlansWhatTheRealOneWouldDoAndWritesNothing)
{
    const fs::path root = fs::temp_directory_path() / ("dotz-plan-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "DOTZ" / "dir.txt");
    std::ofstream(root / "file");
    const std::string r = root.string();
    struct Case
    {
        std::string folder;
        std::string name;
        std::string error; // "" when planned
    } cases[] = {
        {r + "/new", "f.txt", ""},  // created in the plan
        {r + "/new", "g.txt", ""},  // and found there again
        {r + "/DOTZ", "f.txt", ""}, // already there
        {r + "/missing/DOTZ", "f.txt",
         "não foi possível criar a pasta " + r +
             "/missing/DOTZ: pasta ou arquivo inexistente (ENOENT)"},
        {r + "/file", "f.txt", "não foi possível criar a pasta " + r + "/file: já existe (EEXIST)"},
        {r + "/DOTZ", "dir.txt",
         "não foi possível substituir " + r + "/DOTZ/dir.txt: é uma pasta (EISDIR)"},
    };
    PlanningFileSystem planner;
    for (const Case& c : cases)
        EXPECT_EQ(planFile(planner, c.folder, c.name), c.error) << c.folder << "/" << c.name;
    if (::geteuid() != 0) { // root may write anywhere
        fs::create_directories(root / "locked");
        fs::permissions(root / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(planFile(planner, r + "/locked"),
                  "não foi possível criar um arquivo em " + r + "/locked: sem permissão (EACCES)");
        EXPECT_EQ(planFile(planner, r + "/locked/DOTZ"),
                  "não foi possível criar a pasta " + r + "/locked/DOTZ: sem permissão (EACCES)");
        fs::permissions(root / "locked", fs::perms::owner_all);
    }
    EXPECT_FALSE(fs::exists(root / "new"));
    EXPECT_TRUE(fs::is_empty(root / "DOTZ" / "dir.txt"));
    fs::remove_all(root);
}

std::optional<std::string> contentOf(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary | std::ios::ate);
    if (!in)
        return std::nullopt;
    std::string text(static_cast<size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    return text;
}

ino_t inodeOf(const fs::path& p)
{
    struct stat st
    {
    };
    ::stat(p.c_str(), &st);
    return st.st_ino;
}

// Planned, each file is only compared; rewriting, only those that differ or
// are new go in place.
TEST(ComparingFileSystem, SetsEachFileAgainstTheOneInPlace)
{
    const fs::path root =
        fs::temp_directory_path() / ("dotz-compare-" + std::to_string(::getpid()));
    struct Case
    {
        const char* name;
        std::optional<std::string> inPlace;
        std::vector<std::string> pieces; // one: staged whole
        const char* begunAs;             // the name it was begun under, when another
        InPlace state;
    } cases[] = {
        {"same.txt", "500|a\r\n", {"500|", "a\r\n"}, nullptr, InPlace::Equal},
        {"whole.txt", "500|a\r\n", {"500|a\r\n"}, nullptr, InPlace::Equal},
        {"other.txt", "500|b\r\n", {"500|", "a\r\n"}, nullptr, InPlace::Differs}, // same size
        {"short.txt", "500|a", {"500|", "a\r\n"}, nullptr, InPlace::Differs},
        {"long.txt", "500|a\r\nX", {"500|", "a\r\n"}, nullptr, InPlace::Differs}, // one byte more
        {"long2.txt", "500|a\r\nX", {"500|a\r\n"}, nullptr, InPlace::Differs},
        {"new.txt", std::nullopt, {"500|", "a\r\n"}, nullptr, InPlace::New},
        {"moved.txt", "500|a\r\n", {"500|", "a\r\n"}, "begun.txt", InPlace::Equal},
        {"moved2.txt", "500|b\r\n", {"500|", "a\r\n"}, "same.txt", InPlace::Differs},
    };
    for (const bool rewrite : {false, true}) {
        fs::remove_all(root);
        fs::create_directories(root);
        std::map<std::string, ino_t> inodes;
        for (const Case& c : cases)
            if (c.inPlace) {
                std::ofstream(root / c.name, std::ios::binary) << *c.inPlace;
                inodes[c.name] = inodeOf(root / c.name);
            }
        PlanningFileSystem planner;
        PosixFileSystem posix;
        ComparingFileSystem fs(rewrite ? static_cast<FileSystem&>(posix) : planner, rewrite);
        for (const Case& c : cases) {
            const std::string path = (root / c.name).string();
            if (c.pieces.size() == 1) {
                fs.stageFile(path, c.pieces[0]);
                continue;
            }
            fs.beginStaged(c.begunAs ? (root / c.begunAs).string() : path);
            for (const std::string& piece : c.pieces)
                fs.appendStaged(piece);
            fs.endStaged(path);
        }
        const std::vector<ComparedFile> compared = fs.take();
        ASSERT_EQ(compared.size(), std::size(cases));
        fs.commitStaged();
        for (size_t i = 0; i < compared.size(); ++i) {
            const Case& c = cases[i];
            EXPECT_EQ(compared[i].localPath, (root / c.name).string());
            EXPECT_EQ(compared[i].state, c.state) << c.name;
            const bool replaced = rewrite && c.state != InPlace::Equal;
            EXPECT_EQ(contentOf(root / c.name),
                      replaced ? std::optional<std::string>("500|a\r\n") : c.inPlace)
                << c.name << (rewrite ? " rewritten" : " planned");
            if (!replaced && c.inPlace) {
                EXPECT_EQ(inodeOf(root / c.name), inodes[c.name]) << c.name;
            }
        }
        EXPECT_FALSE(fs::exists(root / "begun.txt"));
    }

    // What lies in place for the day and is not given any more, of the chosen branches.
    fs::remove_all(root);
    fs::create_directories(root);
    for (const char* name :
         {"20240315_P_0001_500_1.txt", "20240315_P_0002_510_1.txt", "20240315_P_0003_515_1.txt",
          "20240314_P_0004_500_1.txt", "20240315_P_0005_500_1.txt", "20240315_P_0006_500_2.txt"})
        std::ofstream(root / name) << "x";
    const std::set<std::string> folders{root.string()};
    const std::set<std::string> given{(root / "20240315_P_0001_500_1.txt").string()};
    const auto left = [&](bool with515, std::string_view selector) {
        std::string names;
        for (const WrittenFile& f :
             filesLeftInPlace(folders, *Day::parse("2024-03-15"), with515, selector, given))
            names += f.branch + ":" + std::to_string(f.recordType) + " ";
        return names;
    };
    EXPECT_EQ(left(false, "T"), "0002:510 0005:500 ");
    EXPECT_EQ(left(true, "T"), "0002:510 0003:515 0005:500 ");
    EXPECT_EQ(left(true, "'0001','0003'"), "0003:515 ");
    fs::remove_all(root);
}

} // namespace
} // namespace dotz
