#include "base/error.h"
#include "export/plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

} // namespace
} // namespace dotz
