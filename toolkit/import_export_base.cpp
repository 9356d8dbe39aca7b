#include "import_export_base.h"

#include "base/error.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>

namespace dotz {
namespace {

template <class T> T* part(QWidget* form, const char* name)
{
    T* found = form->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        throw Error("O formulário " + form->objectName().toStdString() + " não tem a parte " +
                    name + ".");
    return found;
}

} // namespace

TfrmImportExportBase::TfrmImportExportBase(QWidget* parent)
    : TForm(parent), msgPadrao(new TMessageTable(this))
{
    msgPadrao->setObjectName(QStringLiteral("msgPadrao"));
}

void TfrmImportExportBase::bindBaseParts()
{
    lblCodTela = part<QLabel>(this, "lblCodTela");
    grbDadosRel = part<QGroupBox>(this, "grbDadosRel");
    Image1 = part<QLabel>(this, "Image1");
    Image2 = part<QLabel>(this, "Image2");
    panMenu = part<QFrame>(this, "panMenu");
    panBotoes = part<QFrame>(this, "panBotoes");
    sbtImportExport = part<TFlatButton>(this, "sbtImportExport");
    panProgresso = part<QFrame>(this, "panProgresso");
    pgbProgresso = part<QProgressBar>(this, "pgbProgresso");
}

void TfrmImportExportBase::FormCreate(QObject* /*Sender*/)
{
    if (pgbProgresso)
        pgbProgresso->reset();
}

void TfrmImportExportBase::FormClose(QObject* /*Sender*/, TCloseAction& /*Action*/)
{
    // Hiding (the default action) keeps the screen for the next request.
}

} // namespace dotz
