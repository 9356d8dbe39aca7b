#pragma once
// TfrmExportaDotz: the DOTZ export screen. Its controls, captions, geometry, fonts,
// tab order and event bindings are in export_dotz.ui; the non-visual components
// (branch query, server connection, message table) are made here. A day's rows
// stream to its files and are not kept: the branch checks and the till list read
// what the last day the run read left summed up.
#include "base/shown_text.h"
#include "export/checks.h"
#include "toolkit/data_access.h"
#include "toolkit/date_edit.h"
#include "toolkit/error_reporter.h"
#include "toolkit/import_export_base.h"
#include "toolkit/module_api.h"
#include "toolkit/socket_connection.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>

#include <memory>
#include <string>
#include <string_view>

namespace Ui {
class TfrmExportaDotz;
}

// The screen's unit builds on the toolkit and the export core.
namespace Cli_krt52410 {
using namespace dotz;

// The class is part of the module's interface: its type information, its
// constructor and every method are exported.
class KRT_EXPORT TfrmExportaDotz : public TfrmImportExportBase
{
    Q_OBJECT
  public:
    explicit TfrmExportaDotz(QWidget* parent = nullptr);
    ~TfrmExportaDotz() override;

    // Fields in the form's declaration order. The controls belong to the form
    // (Qt parent).
    QGroupBox* grbDataExporta;
    TSqlQuery* qryFilial;
    TDataSource* dtsFilial;
    TSqlStringField* qryFilialCDFILIAL;
    TSqlStringField* qryFilialNMFILIAL;
    TServerConnection* netExportaDotz;
    QGroupBox* grbFilial;
    QRadioButton* rbtListaFilial;
    TLookupButton* btnFilial;
    QRadioButton* rbtTodasFilial;
    QCheckBox* cboArquivo515;
    TDateEdit* DepPeriodDe;
    QLabel* lblDePeriodo;
    QLabel* lblAtePeriodo;
    TDateEdit* depPeriodAte;

    // Read by tests and the export run.
    TMessageTable* messages() const { return msgPadrao; }
    const std::string& listaFilial() const { return stListaFilial; }

  public Q_SLOTS:
    void FormCreate(QObject* Sender) override;
    void FormClose(QObject* Sender, TCloseAction& Action) override;
    void netExportaDotzBeforeConnect(QObject* Sender = nullptr);
    void sbtImportExportClick(QObject* Sender = nullptr);
    void btnFilialClick(QObject* Sender = nullptr);
    void rbtTodasFilialClick(QObject* Sender = nullptr);
    void rbtListaFilialClick(QObject* Sender = nullptr);
    void DepPeriodDeExit(QObject* Sender = nullptr);
    void depPeriodAteExit(QObject* Sender = nullptr);
    void depDataExit(QObject* Sender = nullptr);

  public:
    void Vd_Filial();
    void Vd_Data(bool boValida);
    // Over the last day the run read.
    void Vd_Parceiro();
    void Vd_Diretorio();
    void Vd_Caixa();

  private:
    // The server of the settings' list that a run turned to; empty: the list's first.
    std::string serverHost_;
    int serverPort_ = 0;
    // Focus to the edit, then the message of `key` through ShowError with abort.
    void refuseAt(TDateEdit* edit, std::string_view key);
    // "'<shown text>' não é uma data válida." with the focus in the edit.
    void refuseInvalidDate(TDateEdit* edit);
    // The exit check of one edit; `reported` is the invalid text last shown for it.
    void exitCheck(TDateEdit* edit, QString& reported);
    // Shows a core Refusal as the screen shows its own refusals: once, then abort;
    // the data's control characters escaped, as the command line shows them.
    template <class F> void showRefusal(F&& action)
    {
        try {
            action();
        } catch (const Refusal& refusal) {
            ShowErrorUtf8(withoutControls(refusal.what()), true);
        }
    }

    // A click ends its action here, the way the application object would end it:
    // an exception must not unwind through the widget library's frames, which
    // cannot clean up after one. Called directly (no signal), errors pass on.
    template <class F> void endsInQt(F&& action)
    {
        if (!sender()) {
            action();
            return;
        }
        try {
            action();
        } catch (...) {
            reportException(std::current_exception());
        }
    }

    std::unique_ptr<Ui::TfrmExportaDotz> ui_;
    bool exitChecking_ = false;
    QString reportedDe_;
    QString reportedAte_;
    // Branch list text the picker left (Windows-1252), and the till list text.
    std::string stListaFilial;
    std::string stListaCaixa;
    // What the last day the run read left for the branch checks and the till list.
    DaySummary lastDay_;
};

} // namespace Cli_krt52410

namespace dotz {
using Cli_krt52410::TfrmExportaDotz;
} // namespace dotz
