#include "export_dotz.h"

#include "base/cp1252.h"
#include "base/paths.h"
#include "base/wire_contract.h"
#include "connection/principal_reply.h"
#include "connection/server_list.h"
#include "export/checks.h"
#include "export/file_system.h"
#include "export/messages.h"
#include "export/run.h"
#include "toolkit/application.h"
#include "toolkit/busy_animation.h"
#include "toolkit/error_reporter.h"
#include "toolkit/host_settings.h"
#include "toolkit/pick_from_list.h"
#include "ui_export_dotz.h"

#include <QProgressBar>
#include <QScopeGuard>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace Cli_krt52410 {
namespace {
std::vector<dotz::ServerAddress> serverList();
} // namespace

TfrmExportaDotz::TfrmExportaDotz(QWidget* parent)
    : TfrmImportExportBase(parent), ui_(std::make_unique<Ui::TfrmExportaDotz>())
{
    // The non-visual components exist before the description binds the handlers
    // that use them.
    qryFilial = new TSqlQuery(this);
    qryFilial->setObjectName(QStringLiteral("qryFilial"));
    qryFilial->setSQL({QStringLiteral("SELECT"), QStringLiteral("   CDFILIAL, NMFILIAL"),
                       QStringLiteral("FROM"), QStringLiteral("   FILIAL"),
                       QStringLiteral("ORDER BY"), QStringLiteral("   CDFILIAL")});
    qryFilialCDFILIAL = qryFilial->addStringField(QStringLiteral("CDFILIAL"), wire::kBranchCodeSize,
                                                  QStringLiteral("Código"), 4);
    qryFilialNMFILIAL =
        qryFilial->addStringField(QStringLiteral("NMFILIAL"), 30, QStringLiteral("Nome"), 50);
    dtsFilial = new TDataSource(this);
    dtsFilial->setObjectName(QStringLiteral("dtsFilial"));
    dtsFilial->setDataSet(qryFilial);

    netExportaDotz = new TServerConnection(this);
    netExportaDotz->setObjectName(QStringLiteral("netExportaDotz"));
    netExportaDotz->SetServerName(QString::fromLatin1(wire::kObjectName));
    netExportaDotz->SetRaiseErrors(false);
    connect(netExportaDotz, &TServerConnection::BeforeConnect, this,
            &TfrmExportaDotz::netExportaDotzBeforeConnect);

    msgPadrao->setTable(dotzMessages());

    ui_->setupUi(this);
    bindBaseParts();
    grbDataExporta = ui_->grbDataExporta;
    grbFilial = ui_->grbFilial;
    rbtListaFilial = ui_->rbtListaFilial;
    btnFilial = ui_->btnFilial;
    rbtTodasFilial = ui_->rbtTodasFilial;
    cboArquivo515 = ui_->cboArquivo515;
    DepPeriodDe = ui_->DepPeriodDe;
    lblDePeriodo = ui_->lblDePeriodo;
    lblAtePeriodo = ui_->lblAtePeriodo;
    depPeriodAte = ui_->depPeriodAte;
    btnFilial->setDataSource(dtsFilial);
}

TfrmExportaDotz::~TfrmExportaDotz() = default;

void TfrmExportaDotz::FormCreate(QObject* Sender)
{
    TfrmImportExportBase::FormCreate(Sender);
    ShowBusyAnimation(Application().MainForm(), 0);
    try {
        netExportaDotz->SetConnected(true);
    } catch (...) {
        HideBusyAnimation();
        throw;
    }
    HideBusyAnimation();
}

void TfrmExportaDotz::netExportaDotzBeforeConnect(QObject* /*Sender*/)
{
    if (serverHost_.empty()) {
        const ServerAddress first = serverList().front();
        netExportaDotz->SetHost(first.host);
        netExportaDotz->SetPort(first.port);
        netExportaDotz->SetTls(first.tls);
        return;
    }
    netExportaDotz->SetHost(serverHost_);
    netExportaDotz->SetPort(serverPort_);
}

void TfrmExportaDotz::FormClose(QObject* Sender, TCloseAction& Action)
{
    TfrmImportExportBase::FormClose(Sender, Action);
    if (netExportaDotz->Connected())
        netExportaDotz->SetConnected(false);
}

void TfrmExportaDotz::rbtListaFilialClick(QObject* /*Sender*/)
{
    btnFilial->setEnabled(rbtListaFilial->isChecked());
}

void TfrmExportaDotz::rbtTodasFilialClick(QObject* /*Sender*/)
{
    stListaFilial.clear();
    btnFilial->setEnabled(rbtListaFilial->isChecked());
}

void TfrmExportaDotz::btnFilialClick(QObject* /*Sender*/)
{
    endsInQt([this] {
        // Read anew on every click: the branch table may have changed since.
        qryFilial->Close();
        qryFilial->Open();
        const std::string title = msgPadrao->MessageText("FILIAL");
        PickFromList(dtsFilial, "CDFILIAL", title, false, stListaFilial);
    });
}

void TfrmExportaDotz::Vd_Filial()
{
    try {
        if (rbtListaFilial->isChecked() && IsBlank(stListaFilial))
            ShowError(msgPadrao->MessageText("FILI_INF"), true);
    } catch (...) {
        rbtListaFilial->setFocus();
        throw;
    }
}

void TfrmExportaDotz::refuseAt(TDateEdit* edit, std::string_view key)
{
    edit->setFocus();
    ShowError(msgPadrao->MessageText(key), true);
}

void TfrmExportaDotz::Vd_Data(bool /*boValida*/)
{
    const bool noStart = IsBlank(DepPeriodDe->Text());
    const bool noEnd = IsBlank(depPeriodAte->Text());
    if (noStart)
        refuseAt(DepPeriodDe, "DataIni_Inf");
    if (noEnd)
        refuseAt(depPeriodAte, "DataFin_Inf");
    // An invalid text reads as day 0 (30/12/1899): unchecked, a start date typed
    // wrong would run the export over a century of days.
    refuseInvalidDate(DepPeriodDe);
    refuseInvalidDate(depPeriodAte);
    const double start = DepPeriodDe->DateValue();
    const double end = depPeriodAte->DateValue();
    if (!(end >= start))
        refuseAt(depPeriodAte, "DataIni>Fin");
}

void TfrmExportaDotz::refuseInvalidDate(TDateEdit* edit)
{
    if (edit->HasValidDate())
        return;
    edit->setFocus();
    // The edit shows only digits, "/" and "_": nothing Windows-1252 cannot hold.
    const std::string text = "'" + cp1252::fromUtf8(edit->EditText().toStdString()) + "' " +
                             msgPadrao->MessageText("DATA_INV");
    ShowError(text, true);
}

void TfrmExportaDotz::exitCheck(TDateEdit* edit, QString& reported)
{
    // Sending the focus back and showing the message move the focus again; an exit
    // check that those moves start would answer with a message of its own, and two
    // edits with invalid dates would then pull the focus to and fro for ever.
    if (exitChecking_)
        return;
    if (edit->HasValidDate()) {
        reported.clear();
        return;
    }
    // Told once about this text, the operator may leave it for another control and
    // come back to it; the export refuses an invalid date in any case.
    if (edit->EditText() == reported)
        return;
    exitChecking_ = true;
    const auto done = qScopeGuard([this] { exitChecking_ = false; });
    reported = edit->EditText();
    refuseInvalidDate(edit);
}

void TfrmExportaDotz::DepPeriodDeExit(QObject* /*Sender*/)
{
    exitCheck(DepPeriodDe, reportedDe_);
}

void TfrmExportaDotz::depPeriodAteExit(QObject* /*Sender*/)
{
    exitCheck(depPeriodAte, reportedAte_);
}

void TfrmExportaDotz::depDataExit(QObject* /*Sender*/)
{
    Vd_Data(false);
}

void TfrmExportaDotz::Vd_Parceiro()
{
    showRefusal([this] { dotz::Vd_Parceiro(lastDay_, msgPadrao->table()); });
}

void TfrmExportaDotz::Vd_Diretorio()
{
    showRefusal([this] { dotz::Vd_Diretorio(lastDay_, msgPadrao->table()); });
}

void TfrmExportaDotz::Vd_Caixa()
{
    stListaCaixa = dotz::Vd_Caixa(lastDay_);
}

namespace {

// The core's run drives the busy animation through this, leaves each day's
// summary for the screen's checks, and moves the progress bar: the days done
// and, within the day under way, its branches loaded. The thread is held by the
// call while a day arrives, so the bar moves as its bytes come in.
class BusyAnimationObserver : public RunObserver
{
  public:
    BusyAnimationObserver(DaySummary& lastDay, QProgressBar* bar, int days)
        : lastDay_(lastDay), bar_(bar), days_(std::max(days, 1))
    {
        if (bar_) {
            bar_->setRange(0, kSteps);
            bar_->setValue(0);
        }
    }
    void showBusy(int kind) override { ShowBusyAnimation(Application().MainForm(), kind); }
    void hideBusy() override { HideBusyAnimation(); }
    void dayRead(Day, const DaySummary& read) override { lastDay_ = read; }
    void dayDone(Day, const DayResult&) override
    {
        ++done_;
        within_ = 0;
        show();
    }
    // On the loading thread: kept for the next look from the form's thread.
    void progress(const DayProgress& p) override { within_ = p.fraction(); }
    // On the form's thread, as the reply's bytes arrive; a few times a second.
    void received()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(200))
            return;
        shown_ = now;
        show();
    }

  private:
    static constexpr int kSteps = 1000;
    void show()
    {
        if (!bar_)
            return;
        const double whole = (done_ + within_.load()) / days_;
        bar_->setValue(std::max(bar_->value(), static_cast<int>(whole * kSteps)));
        bar_->repaint();
    }

    DaySummary& lastDay_;
    QProgressBar* bar_;
    double days_;
    int done_ = 0;
    std::atomic<double> within_{0};
    std::chrono::steady_clock::time_point shown_{};
};

// The screen's connection as a day's fetch sees it: a refusal the server
// reported is shown by the toolkit's CheckServerResult, which aborts the run,
// unless `moveOn` lets one that another server of the list may answer pass on
// to the next server.
class ScreenServer : public PrincipalServer
{
  public:
    ScreenServer(TServerObject server, bool moveOn) : server_(server), moveOn_(moveOn) {}
    Variant call(std::string_view method, const std::vector<Variant>& params,
                 const PacketSink& early, size_t count) override
    {
        return server_.call(method, params, early, count);
    }
    Variant check(const Variant& result) override
    {
        if (moveOn_) {
            try {
                return CheckServerResult(result, true, 0, RefusalReporter{});
            } catch (const ServerRefusal& refusal) {
                if (refusal.anotherMayAnswer())
                    throw;
            }
        }
        return CheckServerResult(result, true, 0);
    }

  private:
    TServerObject server_;
    bool moveOn_;
};

// The store's servers as the host's settings list them: [server] host, an entry
// without a port taking [server] port.
std::vector<ServerAddress> serverList()
{
    const Settings settings = hostSettings();
    std::optional<int> port;
    if (settings.value("server", "port"))
        port = settings.serverPort();
    return settingsServerList(settings.path(), settings.serverHost(), settings.serverTls(), port);
}

// The folders that [drives] of the host's settings give to Windows drives and shares.
PathMap drivesFromSettings()
{
    return hostSettings().drives();
}

} // namespace

void TfrmExportaDotz::sbtImportExportClick(QObject* /*Sender*/)
{
    endsInQt([this] {
        Vd_Filial();
        Vd_Data(true);

        RunRequest request;
        request.selector =
            rbtTodasFilial->isChecked() ? std::string(wire::kAllBranches) : stListaFilial;
        // Vd_Data has let through only valid dates.
        request.from = *DepPeriodDe->date();
        request.to = *depPeriodAte->date();
        request.with515 = cboArquivo515->isChecked();
        request.tills = true;
        const PathMap paths = drivesFromSettings();

        // The days go over the settings' servers as the command's do; a switch goes
        // to the log.
        std::vector<ServerAddress> servers = serverList();
        const bool moveOn = servers.size() > 1;
        // A call that fails outright passes on, to be shown once the animation is gone.
        const FetchDay fetch = failoverFetch(
            std::move(servers),
            [this](const ServerAddress& s) {
                serverHost_ = s.host;
                serverPort_ = s.port;
                netExportaDotz->SetHost(s.host);
                netExportaDotz->SetPort(s.port);
                netExportaDotz->SetTls(s.tls);
            },
            [](const std::string& notice) { qWarning("%s", notice.c_str()); },
            [this, moveOn](const std::string& selector, Day day, const EarlyPacket& early) {
                ScreenServer server(netExportaDotz->AppServer(), moveOn);
                return fetchPrincipal(server, selector, day, early);
            });

        PosixFileSystem fs;
        BusyAnimationObserver busy(lastDay_, pgbProgresso,
                                   request.to.serial() - request.from.serial() + 1);
        netExportaDotz->SetReceivedHook([&busy](std::uint64_t) { busy.received(); });
        const auto unhook = qScopeGuard([this] { netExportaDotz->SetReceivedHook({}); });
        showRefusal([&] { runExport(request, fetch, paths, fs, busy, msgPadrao->table()); });
        ShowInformation(msgPadrao->MessageText("EXP_OK"));
    });
}

} // namespace Cli_krt52410
