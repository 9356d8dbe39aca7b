#include "application.h"

#include "base/error.h"
#include "error_reporter.h"

#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>

namespace dotz {

void TScreen::SetCursor(int cursor)
{
    cursor_ = cursor;
    if (cursor == crHourGlass && !overridden_) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        overridden_ = true;
    } else if (cursor == crDefault && overridden_) {
        QApplication::restoreOverrideCursor();
        overridden_ = false;
    }
}

TScreen& Screen()
{
    static TScreen screen;
    return screen;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    installFontSubstitutes();
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        reportException(std::current_exception());
        return false;
    }
}

QMdiArea* TApplication::mdiArea() const
{
    return mainForm_ ? qobject_cast<QMdiArea*>(mainForm_->centralWidget()) : nullptr;
}

void TApplication::adoptForm(TForm* form)
{
    QMdiArea* area = form->formStyle() == TForm::fsMDIChild ? mdiArea() : nullptr;
    if (!area) {
        // No MDI area to live in (a test, or a form that is not an MDI child).
        form->move(form->storedPosition());
        form->show();
        return;
    }
    // Not deleted on close: closing hides the form, and the next request shows
    // the same instance again.
    auto* window = new QMdiSubWindow(area);
    window->setWidget(form);
    window->setWindowTitle(form->windowTitle());
    window->setWindowIcon(form->windowIcon());
    area->addSubWindow(window);
    form->setMdiWindow(window);
    window->adjustSize();
    window->move(form->storedPosition());
    window->show();
    form->show();
}

TApplication& Application()
{
    auto* app = qobject_cast<TApplication*>(QCoreApplication::instance());
    if (!app)
        throw Error("O objeto de aplicação do toolkit (TApplication) não está em execução.");
    return *app;
}

} // namespace dotz
