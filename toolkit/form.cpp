#include "form.h"

#include "error_reporter.h"

#include <QCloseEvent>
#include <QFont>
#include <QMdiArea>
#include <QMdiSubWindow>

namespace dotz {

void installFontSubstitutes()
{
    static const bool done = [] {
        // Liberation Sans has Arial's metrics, the nearest to the designed face;
        // DejaVu Sans is wider but always there.
        QFont::insertSubstitutions(
            QStringLiteral("MS Sans Serif"),
            {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)done;
}

TForm::TForm(QWidget* parent) : QWidget(parent)
{
    installFontSubstitutes();
}

void TForm::DoCreate()
{
    Q_EMIT OnCreate(this);
}

void TForm::Show()
{
    if (mdiWindow_) {
        mdiWindow_->showNormal();
        show();
        if (QMdiArea* area = mdiWindow_->mdiArea())
            area->setActiveSubWindow(mdiWindow_);
        mdiWindow_->raise();
        return;
    }
    show();
    raise();
    activateWindow();
}

void TForm::closeEvent(QCloseEvent* event)
{
    // Refused until the handlers have run: a handler that throws keeps the form open.
    event->ignore();
    TCloseAction action = caHide;
    try {
        Q_EMIT OnClose(this, action);
    } catch (...) {
        // Qt's own frames are not built to be unwound through: the error ends here.
        reportException(std::current_exception());
        return;
    }
    switch (action) {
    case caNone:
        return;
    case caHide:
        event->accept();
        return;
    case caMinimize:
        if (mdiWindow_)
            mdiWindow_->showMinimized();
        else
            showMinimized();
        return;
    case caFree:
        event->accept();
        if (mdiWindow_)
            mdiWindow_->deleteLater();
        else
            deleteLater();
        return;
    }
}

} // namespace dotz
