// The export button against a real application server on loopback: the files it
// writes, and the one message the operator reads at the end.
#include "appserver/stores/store.h"
#include "drip_server.h"
#include "qt_test_env.h"
#include "server_fixture.h"

#include "screen/export_dotz.h"
#include "toolkit/busy_animation.h"
#include "toolkit/data_access.h"
#include "toolkit/host_settings.h"
#include "toolkit/pick_from_list.h"

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <set>

namespace dotz {
namespace {

namespace fs = std::filesystem;

struct Shown
{
    MessageKind kind;
    QString text;
    int busyDepth; // of the busy animation while the message was up
};

// Records every message with the state of the busy animation at that moment.
class ShownMessages
{
  public:
    ShownMessages()
    {
        previous_ = setMessageSink([this](MessageKind kind, const QString& text) {
            shown.push_back({kind, text, BusyAnimationDepth()});
        });
    }
    ~ShownMessages() { setMessageSink(std::move(previous_)); }
    std::vector<Shown> shown;

  private:
    MessageSink previous_;
};

class ScreenExport : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        db_ = testing::makeDemoDb(dir_); // branches 0001-0003, 14 to 16/03/2024
        for (const char* branch : {"0001", "0002", "0003"})
            fs::create_directories(out() / "DOTZ" / (std::string("LOJA") + branch));
        startServer();
    }
    void TearDown() override
    {
        form_.reset();
        closeLocalDatabase();
    }

    void startServer()
    {
        form_.reset();     // its connection would keep the old server waiting
        settings_.reset(); // its end clears the host's settings file
        server_.reset();
        server_ = std::make_unique<testing::RunningServer>(testing::serverOn(db_));
        // A server stopped before it got to listening would never stop: wait for it.
        httplib::Client ping("127.0.0.1", server_->port());
        ASSERT_TRUE(ping.Get("/rpc/Krt52410.rdmExportaDotz"));
        settings_ = std::make_unique<test::TempSettings>(
            "[server]\nhost = 127.0.0.1\nport = " + std::to_string(server_->port()) +
            "\n[database]\nname = " + db_ + "\n[drives]\nC = " + out().string() + "\n");
    }

    void change(const std::string& sql) { appserver::openStore(db_)->exec(sql); }

    fs::path out() const { return dir_.path() / "C"; }

    TfrmExportaDotz& form()
    {
        if (!form_) {
            form_ = std::make_unique<TfrmExportaDotz>();
            form_->show();
        }
        return *form_;
    }

    void exportDays(const char* from, const char* to, bool with515 = false)
    {
        QTest::keyClicks(form().DepPeriodDe, QString::fromLatin1(from));
        QTest::keyClicks(form().depPeriodAte, QString::fromLatin1(to));
        form().cboArquivo515->setChecked(with515);
        QTest::mouseClick(form().findChild<QWidget*>(QStringLiteral("sbtImportExport")),
                          Qt::LeftButton);
    }

    // File names under each branch's DOTZ folder, as "LOJA0001/<name>".
    std::set<std::string> written() const
    {
        std::set<std::string> names;
        for (const auto& branch : fs::directory_iterator(out() / "DOTZ")) {
            const fs::path folder = branch.path() / "DOTZ";
            if (!fs::exists(folder))
                continue;
            for (const auto& file : fs::directory_iterator(folder))
                names.insert(branch.path().filename().string() + "/" +
                             file.path().filename().string());
        }
        return names;
    }

    static bool has(const std::set<std::string>& names, const std::string& folder,
                    const std::string& day, const std::string& part)
    {
        for (const std::string& n : names)
            if (n.starts_with(folder + "/" + day) && n.find(part) != std::string::npos)
                return true;
        return false;
    }

    testing::TempDir dir_;
    std::string db_;
    std::unique_ptr<testing::RunningServer> server_;
    std::unique_ptr<test::TempSettings> settings_;
    std::unique_ptr<TfrmExportaDotz> form_;
    ShownMessages messages_;
};

const QString kSuccess = QStringLiteral("Exportação realizada com sucesso.");

TEST_F(ScreenExport, WritesEveryBranchAndDayThenReportsSuccess)
{
    auto* bar = form().findChild<QProgressBar*>(QStringLiteral("pgbProgresso"));
    std::vector<int> moves;
    QObject::connect(bar, &QProgressBar::valueChanged, bar, [&](int v) { moves.push_back(v); });
    exportDays("14032024", "16032024", true);
    // Forward only, at least once a day, to the end.
    EXPECT_TRUE(std::is_sorted(moves.begin(), moves.end()));
    EXPECT_GE(moves.size(), 3u);
    EXPECT_EQ(bar->value(), bar->maximum());
    ASSERT_EQ(messages_.shown.size(), 1u) << messages_.shown[0].text.toStdString();
    EXPECT_EQ(messages_.shown[0].kind, MessageKind::Information);
    EXPECT_EQ(messages_.shown[0].text, kSuccess);
    EXPECT_EQ(messages_.shown[0].busyDepth, 0);

    const auto names = written();
    for (const char* branch : {"0001", "0002", "0003"}) {
        const std::string folder = std::string("LOJA") + branch;
        for (const char* day : {"20240314", "20240315", "20240316"}) {
            EXPECT_TRUE(has(names, folder, day, std::string("_") + branch + "_500_"))
                << folder << " " << day;
            EXPECT_TRUE(has(names, folder, day, std::string("_") + branch + "_515_"))
                << folder << " " << day;
        }
    }
    for (const std::string& n : names)
        EXPECT_TRUE(n.find("20240313") == std::string::npos &&
                    n.find("20240317") == std::string::npos)
            << n;
    EXPECT_EQ(BusyAnimationDepth(), 0);
}

TEST_F(ScreenExport, APickedListExportsOnlyItsBranches)
{
    openLocalDatabase(hostSettings()); // the demo database holds the host's FILIAL too
    QTest::mouseClick(form().rbtListaFilial, Qt::LeftButton);
    QTimer::singleShot(0, &form(), [] {
        auto* dialog = qobject_cast<TPickListDialog*>(QApplication::activeModalWidget());
        ASSERT_TRUE(dialog);
        dialog->setChosen(1, true); // 0002
        dialog->accept();
    });
    QTest::mouseClick(form().btnFilial, Qt::LeftButton);
    exportDays("15032024", "15032024");
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].text, kSuccess);
    const auto names = written();
    EXPECT_TRUE(has(names, "LOJA0002", "20240315", "_0002_500_"));
    for (const std::string& n : names)
        EXPECT_TRUE(n.starts_with("LOJA0002/")) << n;
}

TEST_F(ScreenExport, RefusalsAndFailuresAreShownOnceAfterTheAnimationStopped)
{
    // A sale of the 15th that the server cannot send (its text is not UTF-8).
    const char* badSale =
        "UPDATE VENDA SET CDOPERADOR = CAST(X'FF41' AS TEXT) WHERE (DTVENDA, CDFILIAL, CDCAIXA, "
        "NRCUPOMFIS) IN (SELECT DTVENDA, CDFILIAL, CDCAIXA, NRCUPOMFIS FROM VENDA WHERE "
        "DTVENDA = '2024-03-15' AND CDIDCLIENTEDOTZ IS NOT NULL LIMIT 1)";
    struct Case
    {
        const char* name;
        const char* sql; // changes the server's data first; null for none
        const char* from;
        const char* to;
        QString message;                   // exactly, or
        QStringList messageHolds;          // these pieces
        std::vector<std::string> dayFiles; // days with files afterwards
        int busyWhileShown = 0; // the reply checker shows a server's failure inside the run
    };
    const Case cases[] = {
        {"nothing to export",
         nullptr,
         "01012024",
         "03012024",
         QStringLiteral("Operação bloqueada. Não há pontos DOTZ a serem exportados."),
         {},
         {}},
        // The carriage return before the list shows as a line break.
        {"branch without partner code",
         "UPDATE FILIAL SET CDINTEGRADOTZ = NULL WHERE CDFILIAL = '0003'",
         "14032024",
         "16032024",
         QStringLiteral("Operação bloqueada. Código do parceiro não cadastrado para as seguintes "
                        "filiais: \n0003."),
         {},
         {}},
        {"server failure on the second day",
         badSale,
         "14032024",
         "16032024",
         {},
         {QStringLiteral("cdsDadosDotz"), QStringLiteral("CDOPERADOR"), QStringLiteral("UTF-8")},
         {"20240314"},
         1},
        // A file error passes on to the toolkit's handling, shown once; the day
        // it fails in leaves no file.
        {"folder that cannot be written",
         "UPDATE FILIAL SET DSDIRARQDOTZ = 'C:\\SEMPASTA\\LOJA0002\\' WHERE CDFILIAL = '0002'",
         "14032024",
         "16032024",
         {},
         {QStringLiteral("C:\\SEMPASTA\\LOJA0002\\DOTZ\\20240314_"),
          QStringLiteral("pasta ou arquivo inexistente (ENOENT)")},
         {}}, // none of the failing day's files
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_.path() / "C");
        for (const char* branch : {"0001", "0002", "0003"})
            fs::create_directories(out() / "DOTZ" / (std::string("LOJA") + branch));
        db_ = testing::makeDemoDb(dir_, testing::smallDemo(), std::string(c.name) + ".db");
        if (c.sql)
            change(c.sql);
        startServer();
        messages_.shown.clear();

        exportDays(c.from, c.to);
        ASSERT_EQ(messages_.shown.size(), 1u);
        const Shown& shown = messages_.shown[0];
        EXPECT_EQ(shown.kind, MessageKind::Error);
        EXPECT_EQ(shown.busyDepth, c.busyWhileShown);
        EXPECT_EQ(BusyAnimationDepth(), 0);
        if (!c.message.isEmpty()) {
            EXPECT_EQ(shown.text, c.message);
        }
        for (const QString& piece : c.messageHolds)
            EXPECT_TRUE(shown.text.contains(piece)) << shown.text.toStdString();
        std::set<std::string> days;
        for (const std::string& n : written())
            days.insert(n.substr(n.find('/') + 1, 8));
        EXPECT_EQ(days, std::set<std::string>(c.dayFiles.begin(), c.dayFiles.end()));
    }
}

TEST_F(ScreenExport, AServerThatIsGoneIsReportedOnceNamingIt)
{
    const std::string port = std::to_string(testing::freePort());
    settings_->rewrite("[server]\nhost = 127.0.0.1\nport = " + port +
                       "\n[drives]\nC = " + out().string() + "\n");
    exportDays("14032024", "14032024");
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].kind, MessageKind::Error);
    // The error dialog comes once the busy animation is gone.
    EXPECT_EQ(messages_.shown[0].busyDepth, 0);
    EXPECT_TRUE(messages_.shown[0].text.contains(QString::fromStdString("127.0.0.1:" + port)))
        << messages_.shown[0].text.toStdString();
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(BusyAnimationDepth(), 0);
}

// A server's message reaches the operator as the command line shows it: cut to a
// few KiB, its line breaks written out, so that it cannot pass for a line of ours.
TEST_F(ScreenExport, AServersMessageIsShownCutAndOnOneLine)
{
    const std::string message =
        R"(Falha\r\nExporta\u00e7\u00e3o realizada com sucesso.)" + std::string(1 << 20, 'A');
    testing::DripServer peer(
        {testing::DripServer::description()},
        {testing::DripServer::reply(200,
                                    R"({"jsonrpc":"2.0","id":1,"result":{"ok":false,"message":")" +
                                        message + "\"}}")});
    settings_->rewrite("[server]\nhost = 127.0.0.1\nport = " + std::to_string(peer.port()) +
                       "\n[drives]\nC = " + out().string() + "\n");
    exportDays("14032024", "14032024");
    ASSERT_EQ(messages_.shown.size(), 1u);
    const QString shown = messages_.shown[0].text;
    EXPECT_EQ(messages_.shown[0].kind, MessageKind::Error);
    EXPECT_TRUE(
        shown.startsWith(QStringLiteral("Falha\\x0d\\x0aExportação realizada com sucesso.AAAA")))
        << shown.left(200).toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("A (texto do servidor cortado em 4096 bytes)")))
        << shown.right(200).toStdString();
    EXPECT_FALSE(shown.contains(QLatin1Char('\n')) || shown.contains(QLatin1Char('\r')));
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(BusyAnimationDepth(), 0);
}

} // namespace
} // namespace dotz
