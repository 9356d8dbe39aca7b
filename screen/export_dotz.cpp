#include "export_dotz.h"

#include "export/messages.h"
#include "toolkit/application.h"
#include "toolkit/busy_animation.h"
#include "toolkit/host_settings.h"
#include "ui_export_dotz.h"

namespace dotz {

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
    qryFilialCDFILIAL =
        qryFilial->addStringField(QStringLiteral("CDFILIAL"), 4, QStringLiteral("Código"), 4);
    qryFilialNMFILIAL =
        qryFilial->addStringField(QStringLiteral("NMFILIAL"), 30, QStringLiteral("Nome"), 50);
    dtsFilial = new TDataSource(this);
    dtsFilial->setObjectName(QStringLiteral("dtsFilial"));
    dtsFilial->setDataSet(qryFilial);

    netExportaDotz = new TServerConnection(this);
    netExportaDotz->setObjectName(QStringLiteral("netExportaDotz"));
    netExportaDotz->SetServerName(QStringLiteral("Krt52410.rdmExportaDotz"));
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
    netExportaDotz->SetHost(ServerHost());
    netExportaDotz->SetPort(ServerPort());
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

// The export run, the branch pick and the checks below are built on this form by
// their own changes; until then they leave the screen as it is.
void TfrmExportaDotz::sbtImportExportClick(QObject* /*Sender*/) {}
void TfrmExportaDotz::btnFilialClick(QObject* /*Sender*/) {}
void TfrmExportaDotz::DepPeriodDeExit(QObject* /*Sender*/) {}
void TfrmExportaDotz::depPeriodAteExit(QObject* /*Sender*/) {}
void TfrmExportaDotz::depDataExit(QObject* /*Sender*/) {}
void TfrmExportaDotz::Vd_Filial() {}
void TfrmExportaDotz::Vd_Data(bool /*boValida*/) {}
void TfrmExportaDotz::Vd_Parceiro() {}
void TfrmExportaDotz::Vd_Diretorio() {}
void TfrmExportaDotz::Vd_Caixa() {}

} // namespace dotz
