// krt-backoffice: the host application. Loads the DOTZ export module at start and
// opens its screen from the menu.
#include "base/error.h"
#include "host/main_window.h"
#include "host/module_loader.h"
#include "toolkit/application.h"
#include "toolkit/data_access.h"
#include "toolkit/error_reporter.h"
#include "toolkit/host_settings.h"
#include "toolkit/message_table.h"

#include "krt_version.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

void describe(QCommandLineParser& args)
{
    args.setApplicationDescription(
        QStringLiteral("Back office host: loads the DOTZ export module and opens its screen."));
    args.addHelpOption();
    args.addVersionOption();
    args.addOptions({
        {QStringLiteral("config"),
         QStringLiteral("Settings file (INI: [server] host, port, token; [database]; [drives]). "
                        "Default: $KRT_CONFIG, else %1, else /etc/krt/krt.ini.")
             .arg(QString::fromStdString(dotz::Settings::defaultPath())),
         QStringLiteral("FILE")},
        {QStringLiteral("module"),
         QStringLiteral("The DOTZ export module. Default: libkrt52410.so beside this program, "
                        "else in %1 from it.")
             .arg(QStringLiteral(KRT_MODULE_DIR_FROM_BIN)),
         QStringLiteral("PATH")},
        {QStringLiteral("open-dotz"), QStringLiteral("Open the DOTZ export screen at start.")},
        {QStringLiteral("verbose"), QStringLiteral("Say which settings file and module are used.")},
    });
}

// --help and --version are answered before the window system is touched, so they
// need no display.
bool asksForHelpOrVersion(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char* flag : {"-h", "-?", "--help", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], flag) == 0)
                return true;
    return false;
}

// The module beside the program (the build folder) or where the packages put it.
std::string defaultModulePath()
{
    const QString here = QApplication::applicationDirPath();
    const QString beside = here + QStringLiteral("/libkrt52410.so");
    if (QFileInfo::exists(beside))
        return beside.toStdString();
    return QDir::cleanPath(here + QStringLiteral("/" KRT_MODULE_DIR_FROM_BIN "/libkrt52410.so"))
        .toStdString();
}

// A library's own words behind an error: for the log, not for the operator.
void logDetail(const std::exception& e)
{
    if (const auto* error = dynamic_cast<const dotz::Error*>(&e); error && !error->detail().empty())
        std::fprintf(stderr, "krt-backoffice: detail: %s\n", error->detail().c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (asksForHelpOrVersion(argc, argv)) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("krt-backoffice"));
        QCoreApplication::setApplicationVersion(QStringLiteral(KRT_VERSION));
        QCommandLineParser args;
        describe(args);
        args.process(app); // prints and exits
        return 2;
    }

    dotz::TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("krt-backoffice"));
    QApplication::setApplicationDisplayName(QStringLiteral("KRT Retaguarda"));
    QApplication::setApplicationVersion(QStringLiteral(KRT_VERSION));

    QCommandLineParser args;
    describe(args);
    if (!args.parse(QApplication::arguments())) {
        // The parser's own text is English; only the option it names is kept.
        const QStringList unknown = args.unknownOptionNames();
        const QString why =
            unknown.isEmpty()
                ? QStringLiteral("falta o valor de uma opção")
                : QStringLiteral("opção desconhecida: ") +
                      (unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) +
                      unknown.first();
        std::fprintf(stderr, "krt-backoffice: %s\nUse --help para ver as opções.\n",
                     why.toLocal8Bit().constData());
        return 2;
    }
    if (!args.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "krt-backoffice: argumento não esperado: %s\n",
                     args.positionalArguments().first().toLocal8Bit().constData());
        return 2;
    }
    const bool verbose = args.isSet(QStringLiteral("verbose"));

    const std::string settingsFile =
        dotz::Settings::locate(args.value(QStringLiteral("config")).toStdString());
    dotz::setSettingsFile(settingsFile);
    if (verbose)
        std::fprintf(stderr, "krt-backoffice: settings file %s\n",
                     settingsFile.empty()
                         ? ("none (looked at " + dotz::Settings::lookupText() + ")").c_str()
                         : settingsFile.c_str());
    QString databaseProblem;
    try {
        dotz::openLocalDatabase(dotz::hostSettings());
    } catch (const std::exception& e) {
        // The host runs without it; the branch picker says so when it is used.
        databaseProblem = dotz::errorText(e.what());
        std::fprintf(stderr, "krt-backoffice: %s\n", qPrintable(databaseProblem));
        logDetail(e);
    }

    std::unique_ptr<dotz::ModuleLoader> loader;
    const std::string modulePath = args.isSet(QStringLiteral("module"))
                                       ? args.value(QStringLiteral("module")).toStdString()
                                       : defaultModulePath();
    if (verbose)
        std::fprintf(stderr, "krt-backoffice: module %s\n", modulePath.c_str());
    try {
        loader = std::make_unique<dotz::ModuleLoader>(modulePath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "krt-backoffice: %s\n", e.what());
        logDetail(e);
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
        if (args.isSet(QStringLiteral("open-dotz")))
            QTimer::singleShot(0, &window, &dotz::MainWindow::openDotzExport);
        result = QApplication::exec();
        app.setMainForm(nullptr);
    } // the screens go with the window, before their module is unloaded
    loader->unload();
    dotz::closeLocalDatabase();
    return result;
}
