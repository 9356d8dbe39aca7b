#include "main_window.h"

#include "toolkit/error_reporter.h"

#include <QAction>
#include <QMdiArea>
#include <QMenuBar>
#include <QStatusBar>

namespace dotz {

MainWindow::MainWindow(std::function<void()> openDotz, QWidget* parent)
    : QMainWindow(parent), openDotz_(std::move(openDotz)), area_(new QMdiArea(this))
{
    setObjectName(QStringLiteral("frmPrincipal"));
    setWindowTitle(QStringLiteral("KRT Retaguarda"));
    setCentralWidget(area_);

    QMenu* exports = menuBar()->addMenu(QStringLiteral("&Exportação"));
    QAction* dotz = exports->addAction(QStringLiteral("Exportação &DOTZ"));
    dotz->setObjectName(QStringLiteral("actExportaDotz"));
    connect(dotz, &QAction::triggered, this, &MainWindow::openDotzExport);
    exports->addSeparator();
    QAction* quit = exports->addAction(QStringLiteral("&Sair"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QMainWindow::close);
    statusBar();
}

void MainWindow::openDotzExport()
{
    try {
        openDotz_();
    } catch (...) {
        reportException(std::current_exception());
    }
}

} // namespace dotz
