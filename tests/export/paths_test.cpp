#include "export/error.h"
#include "export/paths.h"

#include <gtest/gtest.h>

namespace dotz {
namespace {

TEST(PathMap, MapsDrivesSharesAndPosixFolders)
{
    PathMap map;
    map.set("C", "/srv/dotz/");
    map.set("d:", "/mnt/d");
    map.set("\\\\loja01\\Export", "/mnt/loja01");
    struct Case {
        const char* windows;
        const char* local;
    } cases[] = {
        {"C:\\EXPORTA\\DOTZ\\20240315_4321_0001_510_1.txt",
         "/srv/dotz/EXPORTA/DOTZ/20240315_4321_0001_510_1.txt"},
        {"c:\\EXPORTADOTZ", "/srv/dotz/EXPORTADOTZ"}, // a folder without its closing "\"
        {"D:\\", "/mnt/d/"},
        {"\\\\LOJA01\\export\\dotz\\DOTZ", "/mnt/loja01/dotz/DOTZ"},
        {"/var/dotz/DOTZ\\x.txt", "/var/dotz/DOTZ/x.txt"},
        {"C:\\Exporta\xE7\xE3o\\DOTZ", "/srv/dotz/Exporta\xC3\xA7\xC3\xA3o/DOTZ"}, // UTF-8 on disk
    };
    for (const Case& c : cases)
        EXPECT_EQ(map.toLocal(c.windows), c.local) << c.windows;
}

TEST(PathMap, RefusesWhatItCannotMap)
{
    PathMap map;
    map.set("C", "/srv/dotz");
    struct Case {
        const char* windows;
        const char* message;
    } cases[] = {
        {"E:\\EXPORTA\\DOTZ", "drive E: of path \"E:\\EXPORTA\\DOTZ\" is not mapped"},
        {"C:EXPORTA", "is relative to the current folder of drive C:"},
        {"EXPORTA\\DOTZ", "is not absolute"},
        {"\\\\server\\share\\DOTZ", "share \\\\server\\share of path"},
        {"\\\\server", "is not a complete"},
        {"C:\\EXP\nORTA", "holds a control character"},
    };
    for (const Case& c : cases) {
        try {
            map.toLocal(c.windows);
            ADD_FAILURE() << c.windows << " was mapped";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(map.toLocal(std::string_view("C:\\EXP\0RTA", 10)), Error);
    EXPECT_THROW(map.set("C", "relative/folder"), Error);
    EXPECT_THROW(map.set("CD", "/x"), Error);
}

} // namespace
} // namespace dotz
