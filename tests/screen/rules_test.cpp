// The branch and period rules of the export screen, driven as the operator drives
// them: clicks, typed dates, the focus leaving an edit; and what the export button
// then asks of the server (a recording transport stands in for it here).
#include "qt_test_env.h"

#include "base/error.h"
#include "connection/server_connection.h"
#include "screen/export_dotz.h"
#include "tests/support/export_tables.h"
#include "tests/support/packet_json.h"
#include "toolkit/application.h"
#include "toolkit/busy_animation.h"
#include "toolkit/data_access.h"
#include "toolkit/pick_from_list.h"

#include <gtest/gtest.h>

#include <QMainWindow>
#include <QMdiArea>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace dotz {
namespace {

struct Call
{
    std::string selector;
    std::string day;    // ISO
    std::string server; // "HOST:PORT", "https://" in front under TLS
};

// A server that answers every day with four empty packets (or with `reply`, when
// set), and records the calls; the host "standby" refuses each with a refusal
// another server may answer.
class EmptyDaysBackend final : public ConnectionBackend
{
  public:
    EmptyDaysBackend(std::shared_ptr<std::vector<Call>> calls, std::shared_ptr<std::string> reply)
        : calls_(std::move(calls)), reply_(std::move(reply))
    {
    }
    void setBeforeConnect(std::function<void()> handler) override { before_ = std::move(handler); }
    void setServerName(std::string) override {}
    void SetHost(std::string host) override { host_ = std::move(host); }
    void setPort(int port) override { port_ = port; }
    void setToken(std::string) override {}
    void setTls(bool on, std::string) override { tls_ = on; }
    void setConnected(bool open) override
    {
        if (open && !open_ && before_)
            before_();
        open_ = open;
    }
    bool connected() const override { return open_; }
    Variant call(std::string_view, const std::vector<Variant>& params) override
    {
        setConnected(true);
        calls_->push_back({params.at(0).asText(), params.at(1).asDate().iso(),
                           (tls_ ? "https://" : "") + host_ + ":" + std::to_string(port_)});
        if (host_ == "standby")
            return Variant(Packet::fromJson(
                R"({"ok":false,"message":"Banco de dados em recuperação.","retry":true})"));
        return Variant(Packet::fromJson(reply_->empty() ? envelope() : *reply_));
    }

  private:
    static std::string emptyPacket(const Table& table)
    {
        std::string json = "{\"columns\":[";
        for (const ColumnDef& c : table.columns()) {
            if (json.back() != '[')
                json += ',';
            json += "{\"name\":\"" + c.name + "\",";
            json += c.type == ColumnType::Text
                        ? "\"type\":\"text\",\"size\":" + std::to_string(c.size) + "}"
                        : std::string("\"type\":\"number\"}");
        }
        return json + "],\"rows\":[]}";
    }
    static std::string envelope()
    {
        const ExportTables t;
        return "{\"ok\":true,\"data\":[" + emptyPacket(t.cdsCaixa) + "," +
               emptyPacket(t.cdsDadosDotz) + "," + emptyPacket(t.cdsDotzExtra) + "," +
               emptyPacket(t.cdsConfigDotz) + "]}";
    }

    std::shared_ptr<std::vector<Call>> calls_;
    std::shared_ptr<std::string> reply_;
    std::function<void()> before_;
    bool open_ = false;
    std::string host_;
    int port_ = 0;
    bool tls_ = false;
};

const QString kNoBranch = QStringLiteral("Filial deve ser informada.");
const QString kNoStart = QStringLiteral("Data Inicial deve ser Informada.");
const QString kNoEnd = QStringLiteral("Data Final deve ser Informada.");
const QString kReversed = QStringLiteral("Data Inicial não pode ser maior do que a Data Final.");
const QString kNothing =
    QStringLiteral("Operação bloqueada. Não há pontos DOTZ a serem exportados.");

class ScreenRules : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        previousFactory_ = setBackendFactory(
            [c = calls, r = reply] { return std::make_unique<EmptyDaysBackend>(c, r); });
        // The host's local database with its branch table.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QString::fromLatin1(kLocalDatabase));
        db.setDatabaseName(QStringLiteral(":memory:"));
        ASSERT_TRUE(db.open());
        exec("CREATE TABLE FILIAL (CDFILIAL VARCHAR(4), NMFILIAL VARCHAR(30))");
        exec("INSERT INTO FILIAL VALUES ('0002', 'Norte'), ('0001', 'Centro')");

        form = std::make_unique<TfrmExportaDotz>();
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    void TearDown() override
    {
        form.reset();
        closeLocalDatabase();
        setBackendFactory(std::move(previousFactory_));
    }

    void exec(const char* sql)
    {
        QSqlQuery q(QSqlDatabase::database(QString::fromLatin1(kLocalDatabase)));
        ASSERT_TRUE(q.exec(QString::fromUtf8(sql))) << sql;
    }

    static void type(TDateEdit* edit, const char* digits)
    {
        edit->clear();
        QTest::keyClicks(edit, QString::fromLatin1(digits));
    }

    void clickExport()
    {
        QTest::mouseClick(form->findChild<QWidget*>(QStringLiteral("sbtImportExport")),
                          Qt::LeftButton);
    }

    // Opens the branch picker with the search button and ticks the given rows.
    void pick(std::vector<int> rows, int* shownRows = nullptr)
    {
        QTimer::singleShot(0, form.get(), [rows, shownRows] {
            auto* dialog = qobject_cast<TPickListDialog*>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
            if (shownRows)
                *shownRows = dialog->rowCount();
            for (int row : rows)
                dialog->setChosen(row, true);
            dialog->accept();
        });
        QTest::mouseClick(form->btnFilial, Qt::LeftButton);
    }

    std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();
    std::shared_ptr<std::string> reply = std::make_shared<std::string>();
    // No day here gives files, so no folder is ever written.
    test::TempSettings settings{"[server]\nhost = 127.0.0.1\nport = 1\n[drives]\nC = /nowhere\n"};
    std::unique_ptr<TfrmExportaDotz> form;
    test::MessageRecorder recorder;

  private:
    BackendFactory previousFactory_;
};

TEST_F(ScreenRules, BranchListIsCheckedFirstAndStopsTheRunBeforeAnyCall)
{
    // "Lista" without a pick, and no dates either: only the branch message.
    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton);
    form->DepPeriodDe->setFocus();
    clickExport();
    EXPECT_EQ(recorder.texts(), QStringList{kNoBranch});
    EXPECT_EQ(QApplication::focusWidget(), form->rbtListaFilial);
    EXPECT_TRUE(calls->empty());
    EXPECT_EQ(BusyAnimationDepth(), 0);
    // Called other than by its button, the run passes its abort on.
    EXPECT_THROW(form->sbtImportExportClick(), Abort);
}

TEST_F(ScreenRules, PickTodasListaLosesTheListAndTodasSendsT)
{
    type(form->DepPeriodDe, "14032024");
    type(form->depPeriodAte, "14032024");
    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton);
    int shown = 0;
    pick({1}, &shown);
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(form->listaFilial(), "'0002'");

    // The list goes to the server as the picker left it.
    clickExport();
    ASSERT_EQ(calls->size(), 1u);
    EXPECT_EQ(calls->back().selector, "'0002'");

    QTest::mouseClick(form->rbtTodasFilial, Qt::LeftButton);
    EXPECT_TRUE(form->listaFilial().empty());
    clickExport();
    ASSERT_EQ(calls->size(), 2u);
    EXPECT_EQ(calls->back().selector, "T");

    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton);
    EXPECT_TRUE(form->listaFilial().empty());
    EXPECT_TRUE(form->btnFilial->isEnabled());
    clickExport();
    EXPECT_EQ(calls->size(), 2u);
    EXPECT_EQ(recorder.texts(), (QStringList{kNothing, kNothing, kNoBranch}));
}

TEST_F(ScreenRules, PickerReadsTheBranchTableAnewAndPassesItsErrorsOn)
{
    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton);
    int shown = 0;
    pick({0}, &shown);
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(form->listaFilial(), "'0001'");
    exec("INSERT INTO FILIAL VALUES ('0003', 'Sul')");
    pick({2}, &shown);
    EXPECT_EQ(shown, 3);
    EXPECT_EQ(form->listaFilial(), "'0001','0003'");
    EXPECT_TRUE(form->qryFilial->Active());

    // A failing query reaches the toolkit's handling once, and the list stays.
    exec("DROP TABLE FILIAL");
    QTest::mouseClick(form->btnFilial, Qt::LeftButton);
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].first, MessageKind::Error);
    EXPECT_TRUE(recorder.texts()[0].contains(QStringLiteral("qryFilial")))
        << recorder.texts()[0].toStdString();
    EXPECT_EQ(form->listaFilial(), "'0001','0003'");
}

TEST_F(ScreenRules, PeriodChecksInOrderWithTheFocusOnTheEditToCorrect)
{
    struct Case
    {
        const char* start;
        const char* end;
        QString message; // empty: accepted, the run goes on
        const char* focus;
    };
    const Case cases[] = {
        {"", "", kNoStart, "DepPeriodDe"},
        {"", "15032024", kNoStart, "DepPeriodDe"},
        {"15032024", "", kNoEnd, "depPeriodAte"},
        {"15032024", "14032024", kReversed, "depPeriodAte"},
        {"31122024", "01012024", kReversed, "depPeriodAte"},
        {"15032024", "15032024", {}, nullptr},
        // An invalid text would read as 30/12/1899: refused, not run from there.
        {"31022024", "15032024", QStringLiteral("'31/02/2024' não é uma data válida."),
         "DepPeriodDe"},
        {"15032024", "1503", QStringLiteral("'15/03/____' não é uma data válida."), "depPeriodAte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " - " + c.end);
        type(form->DepPeriodDe, c.start);
        type(form->depPeriodAte, c.end);
        form->cboArquivo515->setFocus();
        test::MessageRecorder messages;
        calls->clear();
        clickExport();
        if (c.message.isEmpty()) {
            EXPECT_EQ(messages.texts(), QStringList{kNothing});
            ASSERT_EQ(calls->size(), 1u);
            EXPECT_EQ(calls->back().day, "2024-03-15");
            continue;
        }
        EXPECT_EQ(messages.texts(), QStringList{c.message});
        EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), c.focus);
        EXPECT_TRUE(calls->empty());
    }
    // depDataExit is the same check, for whoever calls it.
    type(form->DepPeriodDe, "");
    EXPECT_THROW(form->depDataExit(), Abort);
}

TEST_F(ScreenRules, EveryDayOfThePeriodIsFetchedOnceInOrder)
{
    type(form->DepPeriodDe, "27022024");
    type(form->depPeriodAte, "04032024");
    clickExport();
    std::vector<std::string> days;
    for (const Call& c : *calls) {
        days.push_back(c.day);
        EXPECT_EQ(c.selector, "T");
    }
    EXPECT_EQ(days,
              (std::vector<std::string>{"2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01",
                                        "2024-03-02", "2024-03-03", "2024-03-04"}));
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].first, MessageKind::Error);
    EXPECT_EQ(BusyAnimationDepth(), 0);
}

// The settings' list of servers: a refusal another server may answer moves the
// day on to the next server (an https:// entry speaking TLS) without a word to
// the operator; with one server, or once every server refused, it is shown.
TEST_F(ScreenRules, ARefusalAnotherServerMayAnswerMovesTheDayOnThroughTheList)
{
    const auto run = [&](const std::string& hosts) {
        settings.rewrite("[server]\nhost = " + hosts + "\nport = 1\n[drives]\nC = /nowhere\n");
        calls->clear();
        recorder.clear();
        type(form->DepPeriodDe, "15032024");
        type(form->depPeriodAte, "16032024");
        clickExport();
        std::vector<std::string> asked;
        for (const Call& c : *calls)
            asked.push_back(c.day + " " + c.server);
        return asked;
    };
    EXPECT_EQ(run("standby:7, https://primary:8"),
              (std::vector<std::string>{"2024-03-15 standby:7", "2024-03-15 https://primary:8",
                                        "2024-03-16 https://primary:8"}));
    EXPECT_EQ(recorder.texts(), QStringList{kNothing});

    EXPECT_EQ(run("standby"), (std::vector<std::string>{"2024-03-15 standby:1"}));
    EXPECT_EQ(recorder.texts(), QStringList{QStringLiteral("Banco de dados em recuperação.")});

    run("standby:7,standby:8");
    ASSERT_EQ(recorder.texts().size(), 1);
    EXPECT_TRUE(recorder.texts()[0].contains(
        QStringLiteral("standby:7: Banco de dados em recuperação.; standby:8")))
        << recorder.texts()[0].toStdString();
    EXPECT_EQ(BusyAnimationDepth(), 0);
}

// A branch code from the data cannot steer the message box: its control
// characters show as the command line shows them.
TEST_F(ScreenRules, BranchCodesInRefusalsShowTheirControlCharactersEscaped)
{
    ExportTables t;
    t.cdsDadosDotz.appendRow(
        {"00\x01", "1", "1", "", "", "2024-03-15", "", 1, "", "", "C:\\X\\", 1});
    t.cdsDadosDotz.appendRow({"00\x7f", "1", "1", "", "", "2024-03-15", "", 1, "", "4321", "", 1});
    *reply = "{\"ok\":true,\"data\":[" + testing::packetJson(t.cdsCaixa) + "," +
             testing::packetJson(t.cdsDadosDotz) + "," + testing::packetJson(t.cdsDotzExtra) + "," +
             testing::packetJson(t.cdsConfigDotz) + "]}";
    type(form->DepPeriodDe, "15032024");
    type(form->depPeriodAte, "15032024");
    QTest::mouseClick(form->rbtTodasFilial, Qt::LeftButton);
    // The run's partner check refuses the day; the folder check, over the day the
    // run read, refuses it too.
    EXPECT_THROW(form->sbtImportExportClick(), Abort);
    EXPECT_THROW(form->Vd_Diretorio(), Abort);
    EXPECT_EQ(
        recorder.texts(),
        (QStringList{QStringLiteral("Operação bloqueada. Código do parceiro não cadastrado "
                                    "para as seguintes filiais: \n00\\x01."),
                     QStringLiteral("Operação bloqueada. Diretório destino do arquivo DOTZ não "
                                    "cadastrado para as seguintes filiais: \n00\\x7f.")}));
}

TEST_F(ScreenRules, LeavingAnInvalidDateShowsItOnceAndKeepsTheFocus)
{
    const std::pair<const char*, QString> cases[] = {
        {"31022024", QStringLiteral("'31/02/2024' não é uma data válida.")},
        {"1", QStringLiteral("'1_/__/____' não é uma data válida.")},
    };
    for (TDateEdit* edit : {form->DepPeriodDe, form->depPeriodAte}) {
        for (const auto& [digits, message] : cases) {
            SCOPED_TRACE(edit->objectName().toStdString() + " " + digits);
            type(edit, digits);
            edit->setFocus();
            test::MessageRecorder messages;
            QTest::keyClick(edit, Qt::Key_Tab);
            EXPECT_EQ(messages.texts(), QStringList{message});
            EXPECT_EQ(QApplication::focusWidget(), edit);
        }
        // A valid date, or none, lets the operator go on.
        for (const char* digits : {"29022024", ""}) {
            type(edit, digits);
            edit->setFocus();
            test::MessageRecorder messages;
            QTest::keyClick(edit, Qt::Key_Tab);
            EXPECT_TRUE(messages.texts().isEmpty()) << digits;
            EXPECT_NE(QApplication::focusWidget(), edit) << digits;
        }
    }
}

TEST_F(ScreenRules, InvalidDatesDoNotTrapTheOperator)
{
    const QString invalidStart = QStringLiteral("'31/02/2024' não é uma data válida.");
    type(form->DepPeriodDe, "31022024");
    type(form->depPeriodAte, "99999999");
    form->DepPeriodDe->setFocus();

    // To the other invalid edit: the focus coming back must not start its check.
    QTest::keyClick(form->DepPeriodDe, Qt::Key_Tab);
    EXPECT_EQ(recorder.texts(), QStringList{invalidStart});
    EXPECT_EQ(QApplication::focusWidget(), form->DepPeriodDe);

    // Told once, the operator may choose another control, and its click works.
    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton);
    EXPECT_EQ(recorder.texts().size(), 1);
    EXPECT_TRUE(form->rbtListaFilial->isChecked());
    EXPECT_TRUE(form->btnFilial->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), form->rbtListaFilial);

    // A new invalid text is told again; the click that met the message is dropped
    // whole, so the control is neither toggled nor left held down.
    type(form->DepPeriodDe, "32012024");
    form->DepPeriodDe->setFocus();
    QTest::mouseClick(form->rbtTodasFilial, Qt::LeftButton);
    EXPECT_EQ(recorder.texts().size(), 2);
    EXPECT_EQ(QApplication::focusWidget(), form->DepPeriodDe);
    EXPECT_FALSE(form->rbtTodasFilial->isChecked());
    EXPECT_FALSE(form->rbtTodasFilial->isDown());
    QTest::mouseClick(form->rbtTodasFilial, Qt::LeftButton);
    EXPECT_TRUE(form->rbtTodasFilial->isChecked());
    EXPECT_EQ(recorder.texts().size(), 2);

    // The export still refuses the invalid date, with the focus on it.
    clickExport();
    EXPECT_EQ(recorder.texts().size(), 3);
    EXPECT_EQ(recorder.texts().back(), QStringLiteral("'32/01/2024' não é uma data válida."));
    EXPECT_EQ(QApplication::focusWidget(), form->DepPeriodDe);

    // Closing the screen closes it, without another message.
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(recorder.texts().size(), 3);
    EXPECT_TRUE(calls->empty());
}

TEST_F(ScreenRules, ClosingTheHostsWindowWithAnInvalidDateClosesIt)
{
    // The screen as the host holds it: an MDI child of the main window.
    form.reset();
    QMainWindow main;
    main.setCentralWidget(new QMdiArea(&main));
    main.resize(800, 600);
    Application().setMainForm(&main);
    main.show();
    QApplication::setActiveWindow(&main);
    TfrmExportaDotz* screen = nullptr;
    Application().CreateForm(screen);
    std::unique_ptr<QMdiSubWindow> window(screen->mdiWindow());
    ASSERT_TRUE(window);

    type(screen->DepPeriodDe, "31022024");
    screen->DepPeriodDe->setFocus();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(screen->isVisible());
    EXPECT_TRUE(recorder.texts().isEmpty());

    // Shown again, the edit still checks what it holds.
    screen->Show();
    QApplication::setActiveWindow(&main);
    screen->DepPeriodDe->setFocus();
    QTest::keyClick(screen->DepPeriodDe, Qt::Key_Tab);
    EXPECT_EQ(recorder.texts(), QStringList{QStringLiteral("'31/02/2024' não é uma data válida.")});
    EXPECT_EQ(QApplication::focusWidget(), screen->DepPeriodDe);
    Application().setMainForm(nullptr);
}

} // namespace
} // namespace dotz
