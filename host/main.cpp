// krt-backoffice: the host application. Loads the DOTZ export module at start and
// opens its screen from the menu.
#include "export/error.h"
#include "host/main_window.h"
#include "host/module_loader.h"
#include "toolkit/application.h"
#include "toolkit/data_access.h"
#include "toolkit/error_reporter.h"
#include "toolkit/host_settings.h"
#include "toolkit/message_table.h"

#include <QCommandLineParser>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    dotz::TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("krt-backoffice"));
    QApplication::setApplicationDisplayName(QStringLiteral("KRT Retaguarda"));

    QCommandLineParser args;
    args.setApplicationDescription(
        QStringLiteral("Back office host: loads the DOTZ export module and opens its screen."));
    args.addHelpOption();
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("Settings file (INI: [server] host, port, token; [database]; [drives]). "
                       "Default: %1.")
            .arg(QString::fromStdString(dotz::defaultSettingsFile())),
        QStringLiteral("FILE"));
    const QCommandLineOption module(
        QStringLiteral("module"),
        QStringLiteral("The DOTZ export module. Default: libkrt52410.so beside this program."),
        QStringLiteral("PATH"));
    const QCommandLineOption open(QStringLiteral("open-dotz"),
                                  QStringLiteral("Open the DOTZ export screen at start."));
    args.addOptions({config, module, open});
    if (!args.parse(QApplication::arguments())) {
        std::fprintf(stderr, "krt-backoffice: %s\n", qPrintable(args.errorText()));
        return 2;
    }
    if (args.isSet(QStringLiteral("help")))
        args.showHelp(0);
    if (!args.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "krt-backoffice: unexpected argument %s\n",
                     qPrintable(args.positionalArguments().first()));
        return 2;
    }

    dotz::setSettingsFile(args.isSet(config) ? args.value(config).toStdString()
                                             : dotz::defaultSettingsFile());
    QString databaseProblem;
    try {
        dotz::openLocalDatabase(dotz::hostSettings());
    } catch (const std::exception& e) {
        // The host runs without it; the branch picker says so when it is used.
        databaseProblem = dotz::errorText(e.what());
        std::fprintf(stderr, "krt-backoffice: %s\n", qPrintable(databaseProblem));
    }

    std::unique_ptr<dotz::ModuleLoader> loader;
    const std::string modulePath =
        args.isSet(module)
            ? args.value(module).toStdString()
            : (QApplication::applicationDirPath() + QStringLiteral("/libkrt52410.so"))
                  .toStdString();
    try {
        loader = std::make_unique<dotz::ModuleLoader>(modulePath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "krt-backoffice: %s\n", e.what());
        return 1;
    }

    int result = 0;
    {
        dotz::MainWindow window([&loader] { loader->iniProc(); });
        app.setMainForm(&window);
        window.resize(1024, 640);
        if (!databaseProblem.isEmpty())
            window.statusBar()->showMessage(databaseProblem);
        window.show();
        if (args.isSet(open))
            QTimer::singleShot(0, &window, &dotz::MainWindow::openDotzExport);
        result = QApplication::exec();
        app.setMainForm(nullptr);
    } // the screens go with the window, before their module is unloaded
    loader->unload();
    dotz::closeLocalDatabase();
    return result;
}
