#include "base/error.h"
#include "base/paths.h"

#include <gtest/gtest.h>

namespace dotz {
namespace {

TEST(PathMap, MapsDrivesSharesAndPosixFolders)
{
    PathMap map;
    map.set("C", "/srv/dotz/");
    map.set("d:", "/mnt/d");
    map.set("\\\\loja01\\Export", "/mnt/loja01");
    map.set("/var/dotz", "/var/dotz");
    map.set("/var/dotz/loja2/", "/mnt/loja2");
    struct Case
    {
        const char* windows;
        const char* local;
    } cases[] = {
        {"C:\\EXPORTA\\DOTZ\\20240315_4321_0001_510_1.txt",
         "/srv/dotz/EXPORTA/DOTZ/20240315_4321_0001_510_1.txt"},
        {"c:\\EXPORTADOTZ", "/srv/dotz/EXPORTADOTZ"}, // a folder without its closing "\"
        {"D:\\", "/mnt/d/"},
        {"\\\\LOJA01\\export\\dotz\\DOTZ", "/mnt/loja01/dotz/DOTZ"},
        {"/var/dotz/DOTZ\\x.txt", "/var/dotz/DOTZ/x.txt"},
        {"/var/dotz/loja2\\DOTZ", "/mnt/loja2/DOTZ"}, // the longest mapped folder
        {"C:\\A..B\\..DOTZ\\x..txt",
         "/srv/dotz/A..B/..DOTZ/x..txt"}, // ".." inside a name leads nowhere
        {"C:\\Exporta\xE7\xE3o\\DOTZ", "/srv/dotz/Exporta\xC3\xA7\xC3\xA3o/DOTZ"},  // UTF-8 on disk
        {"C:\\\x80\x9F\xA0\xFF", "/srv/dotz/\xE2\x82\xAC\xC5\xB8\xC2\xA0\xC3\xBF"}, // the edges
    };
    for (const Case& c : cases)
        EXPECT_EQ(map.toLocal(c.windows), c.local) << c.windows;
}

TEST(PathMap, RefusesWhatItCannotMap)
{
    PathMap map;
    map.set("C", "/srv/dotz");
    map.set("/srv/dotz", "/srv/dotz");
    struct Case
    {
        const char* windows;
        const char* message;
    } cases[] = {
        {"E:\\EXPORTA\\DOTZ", "o drive E: do caminho \"E:\\EXPORTA\\DOTZ\" não está mapeado"},
        {"C:EXPORTA", "é relativo à pasta corrente do drive C:"},
        {"C:", "o caminho \"C:\" é relativo à pasta corrente do drive C:"},
        {"EXPORTA\\DOTZ", "não é absoluto"},
        {"\\\\server\\share\\DOTZ", "o compartilhamento \\\\server\\share do caminho"},
        {"\\\\server", "não é um caminho \\\\servidor\\compartilhamento completo"},
        {"C:\\EXP\nORTA", "o caminho \"C:\\EXP\\x0aORTA\" contém um caractere de controle"},
        {"C:\\EXP\x7fORTA", "o caminho \"C:\\EXP\\x7fORTA\" contém um caractere de controle"},
        {"/srv/dotz/\x81", "contém um caractere de controle"}, // undefined in Windows-1252: C1
        {"/srv/dotz/\x8D", "contém um caractere de controle"},
        {"/srv/dotz/\x8F", "contém um caractere de controle"},
        {"/srv/dotz/\x90", "contém um caractere de controle"},
        {"/srv/dotz/\x9D", "contém um caractere de controle"},
        // Folders come from data: none may climb out of its mapped folder.
        {"C:\\..\\..\\fora\\DOTZ", "contém \"..\", que levaria para fora da pasta mapeada"},
        {"C:\\DOTZ\\..\\..\\", "contém \"..\""},
        {"C:\\DOTZ/../x", "contém \"..\""},
        {"C:\\..", "contém \"..\""},
        {"/srv/dotz/../etc/DOTZ", "contém \"..\""},
        {"/etc/DOTZ", "o caminho \"/etc/DOTZ\" não está numa pasta mapeada"},
        {"/srv/dotzX/DOTZ", "não está numa pasta mapeada"},
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
    EXPECT_THROW(map.set("/srv/../etc", "/etc"), Error);
}

} // namespace
} // namespace dotz
