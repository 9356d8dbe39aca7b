// Settings of the host, list texts, message texts, error reporting and the event-loop guard.
#include "qt_test_env.h"

#include "base/branch_list.h"
#include "base/error.h"
#include "toolkit/application.h"
#include "toolkit/error_reporter.h"
#include "toolkit/host_settings.h"
#include "toolkit/message_table.h"
#include "toolkit/pick_from_list.h"

#include <gtest/gtest.h>

#include <QEvent>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace dotz {
namespace {

using test::errorOf;

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
