// Date edit, busy animation, local queries and the pick list, form creation, and
// the server connection wrapper.
#include "fake_connection.h"
#include "qt_test_env.h"

#include "base/branch_list.h"
#include "base/day.h"
#include "base/error.h"
#include "toolkit/application.h"
#include "toolkit/busy_animation.h"
#include "toolkit/data_access.h"
#include "toolkit/date_edit.h"
#include "toolkit/host_settings.h"
#include "toolkit/pick_from_list.h"
#include "toolkit/socket_connection.h"

#include <gtest/gtest.h>

#include <QCalendarWidget>
#include <QFocusEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <fstream>

namespace dotz {
namespace {

using test::errorOf;

TEST(DateEdit, HoldsWhateverIsTyped)
{
    struct Case
    {
        const char* typed;
        const char* editText;
        const char* text;
        bool valid;
        double value;
    };
    const double march15 = Day::fromYmd(2024, 3, 15)->serial();
    const double feb29 = Day::fromYmd(2024, 2, 29)->serial();
    const Case cases[] = {
        {"", "__/__/____", "", true, 0},
        {"15032024", "15/03/2024", "15/03/2024", true, march15},
        {"31022024", "31/02/2024", "31/02/2024", false, 0},
        {"29022024", "29/02/2024", "29/02/2024", true, feb29},
        {"1", "1_/__/____", "1 /  /    ", false, 0},
        {"1503", "15/03/____", "15/03/    ", false, 0},
    };
    for (const Case& c : cases) {
        TDateEdit edit;
        QTest::keyClicks(&edit, QString::fromLatin1(c.typed));
        EXPECT_EQ(edit.EditText(), QString::fromLatin1(c.editText)) << c.typed;
        EXPECT_EQ(edit.Text(), QString::fromLatin1(c.text)) << c.typed;
        EXPECT_EQ(IsBlank(edit.Text()), *c.typed == 0) << c.typed;
        EXPECT_EQ(edit.HasValidDate(), c.valid) << c.typed;
        EXPECT_EQ(edit.DateValue(), c.value) << c.typed;
    }
}

TEST(DateEdit, LettersAreNotTakenAndValidDatesShowInTheirColour)
{
    TDateEdit edit;
    edit.setValidDateColor(Qt::blue);
    QTest::keyClicks(&edit, QStringLiteral("ab15x03y2024"));
    EXPECT_EQ(edit.EditText(), QStringLiteral("15/03/2024"));
    EXPECT_EQ(edit.palette().color(QPalette::Text), QColor(Qt::blue));
    edit.setDate(Day::fromYmd(2024, 2, 30));
    EXPECT_TRUE(edit.Text().isEmpty());
    QTest::keyClicks(&edit, QStringLiteral("30022024"));
    EXPECT_NE(edit.palette().color(QPalette::Text), QColor(Qt::blue));
}

TEST(DateEdit, ExitFiresWhenTheFocusLeavesButNotForTheCalendar)
{
    QWidget window;
    auto* edit = new TDateEdit(&window);
    auto* other = new QLineEdit(&window);
    edit->setDayNames({QStringLiteral("Domingo"), QStringLiteral("Segunda"),
                       QStringLiteral("Terça"), QStringLiteral("Quarta"), QStringLiteral("Quinta"),
                       QStringLiteral("Sexta"), QStringLiteral("Sábado")});
    other->move(0, 40);
    window.show();
    QApplication::setActiveWindow(&window);
    int exits = 0;
    QObject* sender = nullptr;
    QObject::connect(edit, &TDateEdit::Exit, &window, [&](QObject* s) {
        ++exits;
        sender = s;
    });
    edit->setFocus();
    QApplication::processEvents();
    edit->showCalendar();
    QApplication::processEvents();
    EXPECT_EQ(exits, 0);
    // A pick in the calendar puts the date in and the focus back.
    const QDate day(2024, 3, 15);
    edit->calendar()->setSelectedDate(day);
    Q_EMIT edit->calendar()->clicked(day);
    QApplication::processEvents();
    EXPECT_EQ(edit->EditText(), QStringLiteral("15/03/2024"));
    EXPECT_EQ(exits, 0);
    QFocusEvent deactivated(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(edit, &deactivated);
    EXPECT_EQ(exits, 0);
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(sender, edit);
}

QLabel* busyText(QWidget* form)
{
    for (QWidget* panel : form->findChildren<QWidget*>(QStringLiteral("busyAnimation")))
        if (panel->isVisibleTo(form))
            return panel->findChild<QLabel*>();
    return nullptr;
}

TEST(BusyAnimation, NestsAndShowsTheInnermostKind)
{
    QWidget form;
    form.resize(400, 300);
    form.show();
    HideBusyAnimation(); // without a Show: nothing happens
    EXPECT_EQ(BusyAnimationDepth(), 0);

    ShowBusyAnimation(&form, 6);
    ShowBusyAnimation(&form, 0);
    EXPECT_EQ(BusyAnimationDepth(), 2);
    ASSERT_TRUE(busyText(&form));
    EXPECT_EQ(busyText(&form)->text(), QStringLiteral("Conectando ao servidor de aplicação..."));
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);

    HideBusyAnimation();
    ASSERT_TRUE(busyText(&form));
    EXPECT_EQ(busyText(&form)->text(), QStringLiteral("Exportando..."));
    HideBusyAnimation();
    EXPECT_EQ(BusyAnimationDepth(), 0);
    EXPECT_FALSE(form.findChild<QWidget*>(QStringLiteral("busyAnimation")));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The host's local database with table FILIAL, in memory.
class LocalDatabase : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QString::fromLatin1(kLocalDatabase));
        db.setDatabaseName(QStringLiteral(":memory:"));
        ASSERT_TRUE(db.open());
        exec("CREATE TABLE FILIAL (CDFILIAL VARCHAR(4), NMFILIAL VARCHAR(30))");
        query.setObjectName(QStringLiteral("qryFilial"));
        query.setSQL({QStringLiteral("SELECT CDFILIAL, NMFILIAL FROM FILIAL ORDER BY CDFILIAL")});
        query.addStringField(QStringLiteral("CDFILIAL"), 4, QStringLiteral("Código"), 4);
        query.addStringField(QStringLiteral("NMFILIAL"), 30, QStringLiteral("Nome"), 50);
        source.setDataSet(&query);
    }
    void TearDown() override { closeLocalDatabase(); }

    void exec(const char* sql)
    {
        QSqlQuery q(QSqlDatabase::database(QString::fromLatin1(kLocalDatabase)));
        ASSERT_TRUE(q.exec(QString::fromUtf8(sql))) << sql;
    }

    TSqlQuery query;
    TDataSource source;
};

TEST_F(LocalDatabase, QueryReadsRowsAsWindows1252)
{
    exec("INSERT INTO FILIAL VALUES ('0002', 'São Paulo'), ('0001', NULL)");
    query.Open();
    ASSERT_EQ(query.RecordCount(), 2u);
    EXPECT_EQ(query.FieldByName(QStringLiteral("CDFILIAL"))->AsString(), "0001");
    EXPECT_EQ(query.FieldByName(QStringLiteral("NMFILIAL"))->AsString(), "");
    query.Next();
    EXPECT_EQ(query.FieldByName(QStringLiteral("NMFILIAL"))->AsString(), "S\xE3o Paulo");
    query.Next();
    EXPECT_TRUE(query.Eof());
}

TEST_F(LocalDatabase, QueryRefusesValuesItCannotHold)
{
    const std::pair<const char*, const char*> cases[] = {
        {"INSERT INTO FILIAL VALUES ('0001', 'a'), ('0002x', 'b')",
         "A consulta qryFilial, campo CDFILIAL, linha 2: \"0002x\" tem mais de 4 caracteres."},
        {"INSERT INTO FILIAL VALUES ('0001', 'Loja €uro ☃')",
         "A consulta qryFilial, campo NMFILIAL, linha 1"},
    };
    for (const auto& [insert, expected] : cases) {
        exec("DELETE FROM FILIAL");
        exec(insert);
        try {
            query.Open();
            ADD_FAILURE() << insert;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
        EXPECT_FALSE(query.Active());
    }
    query.setSQL({QStringLiteral("SELECT CDFILIAL FROM FILIAL")});
    EXPECT_THROW(query.Open(), Error);
}

TEST_F(LocalDatabase, PickListTicksTheCurrentListAndGivesTheChosenKeys)
{
    exec("INSERT INTO FILIAL VALUES ('0001', 'Centro'), ('0002', 'Norte'), ('O''K', 'Sul')");
    query.Open();
    TPickListDialog dialog(&source, QStringLiteral("CDFILIAL"), QStringLiteral("Filial"), false,
                           {"0002"});
    ASSERT_EQ(dialog.rowCount(), 3);
    EXPECT_EQ(dialog.chosenKeys(), std::vector<std::string>{"0002"});
    dialog.setChosen(2, true);
    EXPECT_EQ(branchListText(dialog.chosenKeys()), "'0002','O''K'");

    TPickListDialog single(&source, QStringLiteral("CDFILIAL"), QStringLiteral("Filial"), true,
                           {"0001"});
    single.setChosen(1, true);
    EXPECT_EQ(single.chosenKeys(), std::vector<std::string>{"0002"});
}

TEST_F(LocalDatabase, PickFromListWithNoRowsShowsTheEmptyListMessage)
{
    test::MessageRecorder recorder;
    source.setEmptyListMessage(QStringLiteral("Não há filial cadastrada."));
    std::string list = "'0001'";
    EXPECT_FALSE(PickFromList(&source, "CDFILIAL", "Filial", false, list));
    EXPECT_EQ(list, "'0001'");
    EXPECT_TRUE(query.Active()); // a closed query is opened
    EXPECT_EQ(recorder.texts(), QStringList{QStringLiteral("Não há filial cadastrada.")});
    EXPECT_THROW(PickFromList(&source, "CDLOJA", "Filial", false, list), Error);
}

TEST(LocalDatabaseSettings, SqliteFileIsFoundBesideTheSettingsFile)
{
    test::TempSettings settings("[database]\nname = lojas.db\n");
    const std::string dir = settings.path().substr(0, settings.path().rfind('/'));
    EXPECT_NE(errorOf([&] {
                  openLocalDatabase(hostSettings());
              }).find("O banco de dados local " + dir + "/lojas.db não existe."),
              std::string::npos);
    std::ofstream(dir + "/lojas.db").flush();
    EXPECT_NO_THROW(openLocalDatabase(hostSettings()));
    EXPECT_TRUE(QSqlDatabase::database(QString::fromLatin1(kLocalDatabase)).isOpen());
    closeLocalDatabase();
    settings.rewrite("[database]\ndriver = oracle\nname = x\n");
    EXPECT_NE(errorOf([&] {
                  openLocalDatabase(hostSettings());
              }).find("[database] driver \"oracle\" não é sqlite nem postgresql"),
              std::string::npos);
}

class FailingForm : public TForm
{
  public:
    explicit FailingForm(QWidget* parent) : TForm(parent)
    {
        setObjectName(QStringLiteral("FailingForm"));
        connect(this, &TForm::OnCreate, this, [](QObject*) { throw Abort(); });
    }
};

TEST(Application, FailedCreationLeavesNoFormAndNoReference)
{
    FailingForm* reference = nullptr;
    EXPECT_THROW(Application().CreateForm(reference), Abort);
    EXPECT_EQ(reference, nullptr);
    QCoreApplication::processEvents();
    for (QWidget* w : QApplication::allWidgets())
        EXPECT_NE(w->objectName(), QStringLiteral("FailingForm"));
}

TEST(Application, MdiChildIsPlacedInTheMainFormAndSurvivesItsClose)
{
    QMainWindow main;
    auto* area = new QMdiArea(&main);
    main.setCentralWidget(area);
    main.show();
    Application().setMainForm(&main);
    struct Child : TForm
    {
        explicit Child(QWidget* p) : TForm(p)
        {
            setFormStyle(fsMDIChild);
            setStoredPosition({30, 20});
            resize(200, 100);
        }
    };
    Child* child = nullptr;
    Application().CreateForm(child);
    ASSERT_TRUE(child);
    QMdiSubWindow* window = child->mdiWindow();
    ASSERT_TRUE(window);
    EXPECT_EQ(area->subWindowList().size(), 1);
    EXPECT_EQ(window->pos(), QPoint(30, 20));
    EXPECT_TRUE(child->isVisible());
    window->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(area->subWindowList().size(), 1);
    EXPECT_FALSE(window->isVisible());
    child->Show();
    EXPECT_TRUE(child->isVisible());
    EXPECT_TRUE(window->isVisible());
    Application().setMainForm(nullptr);
}

TEST(ServerConnection, ServerObjectOfAClosedConnectionOpensItFirst)
{
    test::FakeConnections fake;
    TServerConnection connection;
    int before = 0;
    QObject::connect(&connection, &TServerConnection::BeforeConnect, &connection,
                     [&](QObject* sender) {
                         ++before;
                         EXPECT_EQ(sender, &connection);
                         connection.SetHost("h");
                         connection.SetPort(1234);
                     });
    connection.AppServer().call("GetPrincipal", {});
    connection.AppServer().call("GetPrincipal", {});
    EXPECT_EQ(before, 1);
    EXPECT_EQ(fake.log->events,
              (std::vector<std::string>{"host=h", "port=1234", "open", "call GetPrincipal",
                                        "call GetPrincipal"}));
    EXPECT_EQ(connection.Host(), "h");
    EXPECT_EQ(connection.Port(), 1234);
}

} // namespace
} // namespace dotz

namespace dotz {
namespace {

TEST(Form, AFailingCloseHandlerKeepsTheFormOpenAndShowsItsErrorOnce)
{
    test::MessageRecorder recorder;
    TForm form;
    QObject::connect(&form, &TForm::OnClose, &form,
                     [](QObject*, TCloseAction&) { throw Error("cannot close"); });
    form.show();
    form.close();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(recorder.texts(), QStringList{QStringLiteral("cannot close")});
}

} // namespace
} // namespace dotz
