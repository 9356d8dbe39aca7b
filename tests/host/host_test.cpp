// The host loads the built module the way it does at run time (dlopen), finds its
// exports, and opens the screen from its menu; errors stay inside the host.
#include "fake_connection.h"
#include "qt_test_env.h"

#include "base/error.h"
#include "host/main_window.h"
#include "host/module_loader.h"
#include "toolkit/application.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMdiArea>
#include <QMdiSubWindow>

#include <cstdio>
#include <dlfcn.h>
#include <sstream>
#include <vector>

namespace dotz {
namespace {

using test::errorOf;

// The module's dynamic symbols, demangled, one "ADDRESS TYPE NAME" a line.
std::string moduleSymbols()
{
    std::string symbols;
    const std::string command = std::string("nm -D --defined-only -C ") + DOTZ_MODULE_PATH;
    if (FILE* nm = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, nm)) > 0;)
            symbols.append(buffer, n);
        EXPECT_EQ(pclose(nm), 0) << command;
    }
    return symbols;
}

TEST(Module, ExportsItsEntryPointsUnderPlainNames)
{
    void* handle = dlopen(DOTZ_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(handle) << dlerror();
    for (const char* name : {"IniProc", "Initialize", "Finalize", "PackageLoad", "PackageUnload",
                             "GetPackageInfoTable", "frmExportaDotz", "boIdCriado"})
        EXPECT_TRUE(dlsym(handle, name)) << name;
    dlclose(handle);
}

TEST(Module, ExportsTheScreenUnitAndItsClassWholeAndNothingElse)
{
    const std::string symbols = moduleSymbols();
    std::vector<std::string> names = {
        "Cli_krt52410::CriaExportaDotz()", "Cli_krt52410::initialization()",
        "Cli_krt52410::Finalization()", "typeinfo for Cli_krt52410::TfrmExportaDotz",
        "Cli_krt52410::TfrmExportaDotz::TfrmExportaDotz(QWidget*)"};
    for (const char* method :
         {"sbtImportExportClick", "Vd_Filial", "Vd_Data", "depDataExit", "FormCreate",
          "netExportaDotzBeforeConnect", "FormClose", "btnFilialClick", "rbtTodasFilialClick",
          "rbtListaFilialClick", "Vd_Parceiro", "Vd_Diretorio", "Vd_Caixa", "DepPeriodDeExit",
          "depPeriodAteExit"})
        names.push_back(std::string("Cli_krt52410::TfrmExportaDotz::") + method + "(");
    for (const std::string& name : names)
        EXPECT_NE(symbols.find(" " + name), std::string::npos) << name;
    // Nothing of the core or the toolkit leaks out of the module.
    std::istringstream lines(symbols);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        EXPECT_FALSE(name.starts_with("dotz::")) << line;
    }
}

TEST(ModuleLoader, RefusalsNameTheFileAndWhatIsMissing)
{
    EXPECT_NE(
        errorOf([] { ModuleLoader("/nonexistent/libkrt52410.so"); })
            .find("O módulo /nonexistent/libkrt52410.so não pode ser carregado: pasta ou arquivo "
                  "inexistente (ENOENT)."),
        std::string::npos);
    EXPECT_NE(errorOf([] { ModuleLoader(DOTZ_TOOLKIT_PATH); }).find("não exporta IniProc."),
              std::string::npos);
}

class Host : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        loader = std::make_unique<ModuleLoader>(DOTZ_MODULE_PATH);
        window = std::make_unique<MainWindow>([this] { loader->iniProc(); });
        Application().setMainForm(window.get());
        window->show();
    }
    void TearDown() override
    {
        Application().setMainForm(nullptr);
        window.reset(); // the screens go first, then their code
        loader->unload();
    }
    void openFromMenu() const
    {
        window->findChild<QAction*>(QStringLiteral("actExportaDotz"))->trigger();
    }
    bool created() const
    {
        void* handle = dlopen(DOTZ_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
        const bool flag = *static_cast<bool*>(dlsym(handle, "boIdCriado"));
        dlclose(handle);
        return flag;
    }

    test::TempSettings settings{"[server]\nhost = app.local\nport = 8211\n"};
    test::FakeConnections fake;
    test::MessageRecorder messages;
    std::unique_ptr<ModuleLoader> loader;
    std::unique_ptr<MainWindow> window;
};

TEST_F(Host, MenuOpensTheScreenOnceAsAnMdiChild)
{
    EXPECT_FALSE(created());
    openFromMenu();
    openFromMenu();
    const auto windows = window->mdiArea()->subWindowList();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_EQ(windows[0]->widget()->objectName(), QStringLiteral("TfrmExportaDotz"));
    EXPECT_EQ(windows[0]->windowTitle(), QStringLiteral("Exportação DOTZ"));
    EXPECT_EQ(windows[0]->widget()->size(), QSize(397, 149));
    EXPECT_TRUE(windows[0]->isVisible());
    EXPECT_TRUE(created());
    EXPECT_EQ(fake.log->count("open"), 1);
    EXPECT_TRUE(messages.messages().empty());

    windows[0]->close();
    EXPECT_EQ(fake.log->count("close"), 1);
    openFromMenu();
    EXPECT_EQ(window->mdiArea()->subWindowList().size(), 1);
    EXPECT_TRUE(windows[0]->isVisible());
}

TEST_F(Host, AnErrorLeavingIniProcIsShownAndTheHostGoesOn)
{
    settings.rewrite("[server]\nport = 8211\n");
    openFromMenu();
    ASSERT_EQ(messages.texts().size(), 1);
    EXPECT_TRUE(messages.texts()[0].contains(QStringLiteral("[server] host não foi informado")))
        << messages.texts()[0].toStdString();
    EXPECT_FALSE(created());
    EXPECT_TRUE(window->mdiArea()->subWindowList().isEmpty());

    settings.rewrite("[server]\nhost = app.local\nport = 8211\n");
    openFromMenu();
    EXPECT_TRUE(created());
    EXPECT_EQ(window->mdiArea()->subWindowList().size(), 1);
}

} // namespace
} // namespace dotz
