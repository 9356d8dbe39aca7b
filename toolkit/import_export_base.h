#pragma once
// Base of the host's import/export screens: a group box for the screen's own
// choices, a button strip on the right, a progress band below, a message table.
// A screen's .ui describes the whole form, these parts included under their
// names; bindBaseParts() finds them after setupUi.
#include "buttons.h"
#include "form.h"
#include "message_table.h"
#include "toolkit_api.h"

class QFrame;
class QGroupBox;
class QLabel;
class QProgressBar;

namespace dotz {

class DOTZ_TOOLKIT_API TfrmImportExportBase : public TForm
{
    Q_OBJECT
  public:
    explicit TfrmImportExportBase(QWidget* parent = nullptr);

  public Q_SLOTS:
    // Bound by name to OnCreate / OnClose in a screen's description; a screen
    // that has its own calls these first.
    virtual void FormCreate(QObject* Sender);
    virtual void FormClose(QObject* Sender, TCloseAction& Action);

  protected:
    // Throws dotz::Error naming a part the description lacks.
    void bindBaseParts();

    QLabel* lblCodTela = nullptr;
    QGroupBox* grbDadosRel = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QFrame* panMenu = nullptr;
    QFrame* panBotoes = nullptr;
    TFlatButton* sbtImportExport = nullptr;
    QFrame* panProgresso = nullptr;
    QProgressBar* pgbProgresso = nullptr;
    TMessageTable* msgPadrao;
};

} // namespace dotz
