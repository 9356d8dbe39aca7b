// The settings file: its reading, its refusals and the one rule that finds it.
#include "settings/settings.h"

#include "base/error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

namespace dotz {
namespace {

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Settings, ReadsSectionsCaseInsensitivelyWithComments)
{
    const Settings s = Settings::parse("; host settings\n[Server]\nHOST = app.local \n"
                                       "port=8211\n# token follows\ntoken = abc=def\n"
                                       "[drives]\nC = /srv/dotz\n\\\\loja\\dados = /mnt/dados\n"
                                       "/srv/Lojas = /srv/Lojas\n",
                                       "krt.ini");
    EXPECT_EQ(s.serverHost(), "app.local");
    EXPECT_EQ(s.serverPort(), 8211);
    EXPECT_EQ(s.serverToken(), "abc=def");
    const auto drives = s.section("drives");
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives.at("C"), "/srv/dotz");
    EXPECT_EQ(drives.at("\\\\loja\\dados"), "/mnt/dados");
    // [drives] keys keep their case: a folder's matters, a drive letter's does not.
    const PathMap paths = s.drives();
    EXPECT_EQ(paths.toLocal("/srv/Lojas/DOTZ"), "/srv/Lojas/DOTZ");
    EXPECT_EQ(paths.toLocal("c:\\X"), "/srv/dotz/X");
    EXPECT_NE(errorOf([] {
                  Settings::parse("[drives]\nC = x\n", "krt.ini").drives();
              }).find("krt.ini: [drives] C: mapeamento de C"),
              std::string::npos);
    EXPECT_FALSE(s.value("database", "name"));
}

TEST(Settings, RefusesWithFileLineAndKey)
{
    struct Case
    {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"[server]\nhost app\n", "krt.ini, linha 2: esperava-se \"chave = valor\""},
        {"host = x\n", "krt.ini, linha 1: chave fora de qualquer [seção]"},
        {"[server\n", "krt.ini, linha 1: cabeçalho de seção mal formado"},
        {"[server]\nport = 1\nport = 2\n", "linha 3: [server] port aparece duas vezes"},
        {"[drives]\nC = /a\nC = /b\n", "linha 3: [drives] C aparece duas vezes"},
        // One place named twice: the second would silently win.
        {"[drives]\nC = /a\n\n c: = /b\n",
         "linha 4: [drives] c: mapeia o mesmo lugar que C, da linha 2"},
        {"[drives]\n\\\\Loja\\X = /a\n\\\\LOJA\\x\\ = /b\n",
         "linha 3: [drives] \\\\LOJA\\x\\ mapeia"},
    };
    for (const Case& c : cases) {
        const std::string error = errorOf([&] { Settings::parse(c.text, "krt.ini"); });
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.text << " gave " << error;
    }
}

TEST(Settings, ServerPortMustBeAPortNumber)
{
    for (const char* port : {"0", "65536", "abc", "80x", "-1", ""}) {
        const Settings s =
            Settings::parse(std::string("[server]\nhost = h\nport = ") + port + "\n", "krt.ini");
        const std::string error = errorOf([&] { s.serverPort(); });
        EXPECT_NE(error.find("krt.ini: [server] port"), std::string::npos) << port << ": " << error;
    }
    EXPECT_EQ(Settings::parse("[server]\nhost=h\nport=65535\n", "f").serverPort(), 65535);
    EXPECT_NE(errorOf([] {
                  Settings::parse("[server]\nport=1\n", "f").serverHost();
              }).find("[server] host não foi informado"),
              std::string::npos);
}

TEST(Settings, MaxReplyIsWholeGibibytesOrNotSet)
{
    for (const char* gib : {"0", "1025", "1.5", "2G", ""}) {
        const Settings s =
            Settings::parse(std::string("[server]\nmax_reply_gib = ") + gib + "\n", "krt.ini");
        EXPECT_NE(errorOf([&] { s.serverMaxReplyBytes(); }).find("krt.ini: [server] max_reply_gib"),
                  std::string::npos)
            << gib;
    }
    EXPECT_EQ(Settings::parse("[server]\nmax_reply_gib=8\n", "f").serverMaxReplyBytes(),
              std::uint64_t{8} << 30);
    EXPECT_EQ(Settings::parse("[server]\n", "f").serverMaxReplyBytes(), std::nullopt);
    for (const char* days : {"-1", "367", "3d", ""}) {
        const Settings s =
            Settings::parse(std::string("[export]\nlook_back = ") + days + "\n", "krt.ini");
        EXPECT_NE(errorOf([&] { s.exportLookBack(); }).find("krt.ini: [export] look_back"),
                  std::string::npos)
            << days;
    }
    EXPECT_EQ(Settings::parse("[export]\nlook_back=3\n", "f").exportLookBack(), 3);
    EXPECT_EQ(Settings::parse("[server]\n", "f").exportLookBack(), 0);
}

TEST(Settings, ServerTlsIsOffUnlessSetAndItsCaFileIsFoundBesideTheFile)
{
    const Settings on =
        Settings::parse("[server]\ntls = On\nca = certs/ca.pem\n", "/etc/krt/krt.ini");
    EXPECT_TRUE(on.serverTls());
    EXPECT_EQ(on.serverCa(), "/etc/krt/certs/ca.pem");
    const Settings off = Settings::parse("[server]\nhost = h\n", "krt.ini");
    EXPECT_FALSE(off.serverTls());
    EXPECT_EQ(off.serverCa(), "");
    EXPECT_NE(errorOf([] {
                  Settings::parse("[server]\ntls = sim\n", "krt.ini").serverTls();
              }).find("krt.ini: [server] tls \"sim\""),
              std::string::npos);
}

TEST(Settings, OneLookupRuleForEveryProgram)
{
    const std::filesystem::path home =
        std::filesystem::temp_directory_path() / ("dotz-locate-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home / "krt");
    const std::string user = (home / "krt/krt.ini").string();
    const std::string system =
        std::filesystem::exists("/etc/krt/krt.ini") ? "/etc/krt/krt.ini" : "";
    struct Case
    {
        const char* given;
        const char* env;
        bool userFile;
        std::string expected;
    } cases[] = {
        {"/named.ini", "/env.ini", true, "/named.ini"}, // named even when missing
        {"", "/env.ini", true, "/env.ini"},
        {"", nullptr, true, user},
        {"", "", false, system}, // an empty variable counts as unset
    };
    const std::string xdg = home.string();
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    for (const Case& c : cases) {
        if (c.env)
            setenv("KRT_CONFIG", c.env, 1);
        else
            unsetenv("KRT_CONFIG");
        if (c.userFile)
            std::ofstream(user) << "[server]\n";
        else
            std::filesystem::remove(user);
        EXPECT_EQ(Settings::locate(c.given), c.expected) << c.given << " " << (c.env ? c.env : "-");
    }
    unsetenv("KRT_CONFIG");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(home);
}

} // namespace
} // namespace dotz
