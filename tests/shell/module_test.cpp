// The module's screen lifecycle: create once, show on every call, connection
// opened once with host and port set first, closed on close, retried after a
// failed creation.
#include "fake_connection.h"
#include "qt_test_env.h"

#include "base/error.h"
#include "screen/export_dotz.h"
#include "shell/module.h"
#include "toolkit/application.h"
#include "toolkit/busy_animation.h"

#include <gtest/gtest.h>

#include <QMainWindow>
#include <QMdiArea>

namespace dotz {
namespace {

class ModuleShell : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        main_.setCentralWidget(area_);
        main_.show();
        Application().setMainForm(&main_);
        Finalize();
        Initialize();
    }
    void TearDown() override
    {
        Application().setMainForm(nullptr);
        // The host would destroy its forms; here each test starts afresh.
        Finalize();
        frmExportaDotz = nullptr;
    }

    int screens() const { return static_cast<int>(main_.findChildren<TfrmExportaDotz*>().size()); }

    test::TempSettings settings{"[server]\nhost = app.local\nport = 8211\n"};
    test::FakeConnections fake;
    test::MessageRecorder messages;
    QMainWindow main_;
    QMdiArea* area_ = new QMdiArea;
};

TEST_F(ModuleShell, TwoCallsCreateOneScreenAndOpenTheConnectionOnce)
{
    EXPECT_FALSE(boIdCriado);
    IniProc();
    TfrmExportaDotz* first = frmExportaDotz;
    IniProc();
    EXPECT_EQ(frmExportaDotz, first);
    EXPECT_TRUE(boIdCriado);
    // The unit's names and the plain ones are the same objects.
    EXPECT_EQ(&Cli_krt52410::frmExportaDotz, &::frmExportaDotz);
    EXPECT_EQ(&Cli_krt52410::boIdCriado, &::boIdCriado);
    EXPECT_EQ(Cli_krt52410::frmExportaDotz, first);
    EXPECT_EQ(screens(), 1);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(area_->activeSubWindow(), first->mdiWindow());
    EXPECT_EQ(fake.log->events, (std::vector<std::string>{"host=app.local", "port=8211", "open"}));
    EXPECT_EQ(BusyAnimationDepth(), 0);
    EXPECT_EQ(Screen().Cursor(), crDefault);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(ModuleShell, CloseThenIniProcShowsTheSameInstanceWithoutReopening)
{
    IniProc();
    TfrmExportaDotz* screen = frmExportaDotz;
    ASSERT_TRUE(screen->mdiWindow());
    screen->mdiWindow()->close();
    EXPECT_FALSE(screen->isVisible());
    EXPECT_FALSE(screen->netExportaDotz->Connected());
    EXPECT_EQ(fake.log->count("close"), 1);

    IniProc();
    EXPECT_EQ(frmExportaDotz, screen);
    EXPECT_TRUE(screen->isVisible());
    EXPECT_EQ(screens(), 1);
    EXPECT_EQ(fake.log->count("open"), 1);
}

TEST_F(ModuleShell, FormCloseOnAClosedConnectionMakesNoCall)
{
    IniProc();
    TCloseAction action = caHide;
    frmExportaDotz->FormClose(frmExportaDotz, action);
    frmExportaDotz->FormClose(frmExportaDotz, action);
    EXPECT_EQ(fake.log->count("close"), 1);
    EXPECT_EQ(action, caHide);
}

TEST_F(ModuleShell, EveryOpeningTakesHostAndPortFromTheSettingsFirst)
{
    IniProc();
    frmExportaDotz->mdiWindow()->close();
    fake.log->events.clear();
    settings.rewrite("[server]\nhost = other.local\nport = 9000\n");
    // The export run asks for the server object; the closed connection opens.
    frmExportaDotz->netExportaDotz->AppServer().call("GetPrincipal", {});
    EXPECT_EQ(fake.log->events, (std::vector<std::string>{"host=other.local", "port=9000", "open",
                                                          "call GetPrincipal"}));
}

TEST_F(ModuleShell, FailedCreationLeavesTheFlagFalseAndTheNextCallTriesAgain)
{
    fake.log->failOpen = true;
    EXPECT_THROW(IniProc(), ConnectionError);
    EXPECT_FALSE(boIdCriado);
    EXPECT_EQ(frmExportaDotz, nullptr);
    EXPECT_EQ(screens(), 0);
    EXPECT_EQ(BusyAnimationDepth(), 0);
    EXPECT_EQ(Screen().Cursor(), crDefault);

    fake.log->failOpen = false;
    IniProc();
    EXPECT_TRUE(boIdCriado);
    EXPECT_EQ(screens(), 1);
    EXPECT_EQ(fake.log->count("open"), 1);
}

TEST_F(ModuleShell, BadSettingsFailTheOpeningWithTheirReason)
{
    settings.rewrite("[server]\nhost = app.local\nport = http\n");
    try {
        IniProc();
        ADD_FAILURE() << "IniProc succeeded";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("[server] port \"http\""), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(boIdCriado);
    EXPECT_EQ(fake.log->count("open"), 0);
}

TEST_F(ModuleShell, InitializeOncePerLoad)
{
    IniProc();
    Initialize(); // already initialized: the flag stays
    EXPECT_TRUE(boIdCriado);
    const PackageInfoTable* table = GetPackageInfoTable();
    ASSERT_EQ(table->unitCount, 1);
    EXPECT_STREQ(table->units[0].name, "Cli_krt52410");
}

} // namespace
} // namespace dotz
