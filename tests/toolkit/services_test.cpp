// Settings file, list texts, message texts, error reporting and the event-loop guard.
#include "qt_test_env.h"

#include "export/branch_list.h"
#include "export/error.h"
#include "toolkit/application.h"
#include "toolkit/error_reporter.h"
#include "toolkit/host_settings.h"
#include "toolkit/message_table.h"
#include "toolkit/pick_from_list.h"
#include "toolkit/settings.h"

#include <gtest/gtest.h>

#include <QEvent>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace dotz {
namespace {

using test::errorOf;

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

TEST(Settings, HostSettingsAreReadAnewAtEveryRequest)
{
    test::TempSettings file("[server]\nhost = one\nport = 1000\n");
    EXPECT_EQ(ServerHost(), "one");
    file.rewrite("[server]\nhost = two\nport = 2000\n");
    EXPECT_EQ(ServerHost(), "two");
    EXPECT_EQ(ServerPort(), 2000);
}

TEST(Settings, MissingFileIsNamed)
{
    setSettingsFile("/nonexistent/krt.ini");
    EXPECT_NE(errorOf([] {
                  ServerHost();
              }).find("/nonexistent/krt.ini não pode ser lido: pasta ou arquivo inexistente"),
              std::string::npos);
    setSettingsFile({});
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

TEST(KeyList, FormatsQuotedCommaSeparatedKeys)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},
        {{"0001"}, "'0001'"},
        {{"0001", "0002"}, "'0001','0002'"},
        {{"T"}, "'T'"},
        {{"A'B", "''"}, "'A''B',''''''"},
        {{"a,b"}, "'a,b'"},
    };
    for (const auto& [keys, text] : cases) {
        EXPECT_EQ(branchListText(keys), text);
        EXPECT_EQ(parseKeyList(text), keys) << text;
    }
}

TEST(KeyList, ParseRefusesOtherForms)
{
    for (const char* text : {"T", "0001", "'0001", "'a',", "'a'x", "'a',,'b'", " 'a'", "'a' ,'b'"})
        EXPECT_FALSE(parseKeyList(text)) << text;
}

TEST(Texts, Windows1252IsShownWithAccentsAndCarriageReturnsBreakLines)
{
    EXPECT_EQ(displayText("n\xE3o \xE9 uma data v\xE1lida."),
              QStringLiteral("não é uma data válida."));
    EXPECT_EQ(displayText("linha 1\rlinha 2\r\nlinha 3"),
              QStringLiteral("linha 1\nlinha 2\nlinha 3"));
    // Error texts: UTF-8 when they are, Windows-1252 otherwise.
    EXPECT_EQ(errorText("Opera\xC3\xA7\xC3\xA3o"), QStringLiteral("Operação"));
    EXPECT_EQ(errorText("Opera\xE7\xE3o"), QStringLiteral("Operação"));
}

TEST(Texts, IsBlank)
{
    // Every character up to the space is blank, whichever kind of text holds it.
    for (const char* blank : {"", " ", " \t ", "\r\n", "\x01\x1f", "\v\f"}) {
        EXPECT_TRUE(IsBlank(std::string_view(blank))) << '"' << blank << '"';
        EXPECT_TRUE(IsBlank(QString::fromLatin1(blank))) << '"' << blank << '"';
    }
    for (const char* text : {"x", " 'T' ", "0", "\x7f", "\xc2\xa0"}) {
        EXPECT_FALSE(IsBlank(std::string_view(text))) << text;
        EXPECT_FALSE(IsBlank(QString::fromUtf8(text))) << text;
    }
}

TEST(ShowError, AbortShowsOnceAndEndsTheAction)
{
    test::MessageRecorder recorder;
    bool after = false;
    EXPECT_THROW(
        {
            ShowError("Filial deve ser informada.", true);
            after = true;
        },
        Abort);
    EXPECT_FALSE(after);
    ShowError("aviso", false);
    ASSERT_EQ(recorder.messages().size(), 2u);
    EXPECT_EQ(recorder.messages()[0].first, MessageKind::Error);
    EXPECT_EQ(recorder.texts(),
              (QStringList{QStringLiteral("Filial deve ser informada."), QStringLiteral("aviso")}));
}

// An object whose event handler fails the way a form's handler can.
class Thrower : public QObject
{
  public:
    std::function<void()> fail;
    bool customHandled = false;

  protected:
    void customEvent(QEvent*) override
    {
        customHandled = true;
        fail();
    }
};

TEST(EventLoopGuard, AbortEndsSilentlyOtherErrorsAreShown)
{
    test::MessageRecorder recorder;
    Thrower target;
    QEvent event(QEvent::User);

    target.fail = [] { throw Abort(); };
    EXPECT_NO_THROW(QCoreApplication::sendEvent(&target, &event));
    EXPECT_TRUE(recorder.messages().empty());

    target.fail = [] { throw Error("local database dtb.db cannot be opened"); };
    EXPECT_NO_THROW(QCoreApplication::sendEvent(&target, &event));
    target.fail = [] { throw 42; };
    EXPECT_NO_THROW(QCoreApplication::sendEvent(&target, &event));
    EXPECT_EQ(recorder.texts(),
              (QStringList{QStringLiteral("local database dtb.db cannot be opened"),
                           QStringLiteral("Erro inesperado.")}));
}

TEST(EventLoopGuard, PostedEventsRunThroughTheGuardToo)
{
    test::MessageRecorder recorder;
    Thrower target;
    target.fail = [] { throw Error("falhou"); };
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    QCoreApplication::sendPostedEvents(&target);
    EXPECT_TRUE(target.customHandled);
    EXPECT_EQ(recorder.texts(), QStringList{QStringLiteral("falhou")});
}

} // namespace
} // namespace dotz
