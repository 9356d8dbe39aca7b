// dotz-export as the timer runs it: what it refuses and with which exit status,
// days that have not closed, and one pending run at a time on a state file.
#include "child_process.h"
#include "server_fixture.h"
#include "stand_in_server.h"

#include "base/day.h"
#include "pending.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::Ended;
using testing::slurp;
using testing::TempDir;

Day fromToday(int days)
{
    return Day::fromSerial(localToday().serial() + days);
}

std::string stateWith(Day day, int port)
{
    return "dotz-export-state 1\n" + day.iso() + " http://127.0.0.1:" + std::to_string(port) +
           " T no-515\n";
}

// A demo server whose three days end yesterday, and the branches' folders.
class Nights : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        appserver::DemoOptions o = testing::smallDemo();
        o.firstDay = fromToday(-3).iso();
        server_ = new testing::RunningServer(testing::serverOn(testing::makeDemoDb(*dir_, o)));
    }
    static void TearDownTestSuite()
    {
        delete server_;
        delete dir_;
    }
    void SetUp() override
    {
        for (const char* b : {"0001", "0002", "0003"})
            fs::create_directories(out() / "DOTZ" / (std::string("LOJA") + b));
    }
    void TearDown() override { fs::remove_all(here()); }

    fs::path here() const
    {
        return dir_->path() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    fs::path out() const { return here() / "out"; }
    fs::path state() const { return here() / "state"; }
    std::vector<std::string> command(int port, const std::string& args) const
    {
        std::vector<std::string> argv = {DOTZ_EXPORT_PATH,
                                         "--config",
                                         "/dev/null",
                                         "--server",
                                         "127.0.0.1:" + std::to_string(port),
                                         "--drive",
                                         "C=" + out().string(),
                                         "--state",
                                         state().string()};
        std::istringstream words(args);
        for (std::string w; words >> w;)
            argv.push_back(w);
        return argv;
    }
    size_t files() const
    {
        size_t n = 0;
        for (const auto& e : fs::recursive_directory_iterator(out()))
            n += e.is_regular_file();
        return n;
    }

    static inline TempDir* dir_ = nullptr;
    static inline testing::RunningServer* server_ = nullptr;
};

TEST_F(Nights, ExitStatusSaysWhetherARetryMayMendIt)
{
    const int port = testing::freePort(); // nothing listens: no row gets that far but one
    struct Case
    {
        std::string args;
        // As --config, when not empty; "-" names a missing file, "none" gives neither
        // a file nor --server.
        std::string settings;
        std::string state; // the state file's text, when not empty
        int code;
        std::string says;
    } cases[] = {
        {"--from 2024-03-02 --to 2024-03-01", "", "", 2, "Data Inicial não pode ser maior"},
        {"--from 2024-03-01 --to 2024-03-01 --branches 0001,\xC5\x8B", "", "", 2,
         "--branches: o caractere 6 não existe em Windows-1252"},
        {"--from 2024-03-01 --to 2024-03-01 --branches 0001,\x80", "", "", 2,
         "--branches: o caractere 6 não existe em Windows-1252"}, // not UTF-8
        {"--from 2024-03-01 --to 2024-03-01 --branches 0001,\xC3", "", "", 2,
         "--branches: o caractere 6 não existe em Windows-1252"}, // cut short
        {"--from 2024-03-01 --to 2024-03-01 --branches 0001,\xC3z", "", "", 2,
         "--branches: o caractere 6 não existe em Windows-1252"}, // broken off
        {"--from 2024-03-01\xE2\x82\xAC --to 2024-03-01", "", "", 2,
         "--from: \"2024-03-01\xE2\x82\xAC\" não é uma data"}, // shown as it came
        {"--from 2024-03-01 --to 2024-03-01 --call-timeout 0", "", "", 2,
         "--call-timeout: o valor 0 não está entre 1 e 604800"},
        {"--from 2024-03-01 --to 2024-03-01 --max-days x", "", "", 2,
         "--max-days: \"x\" não é um número inteiro"},
        {"--from 2024-03-01 --to 2024-03-01 --drive D=/a --drive d:=/b", "", "", 2,
         "--drive: d: mapeia o mesmo lugar que D"},
        {"--from 2024-03-01 --to 2024-03-01 --look-back 3", "", "", 2,
         "--look-back: só vale com --from pending"},
        {"--from pending --to yesterday --look-back 367", "", "", 2,
         "--look-back: o valor 367 não está entre 0 e 366"},
        {"--from pending --to yesterday --rewrite-changed", "[export]\nlook_back = 0\n", "", 2,
         "--rewrite-changed: só vale com --from pending e --look-back"},
        {"--from pending --to yesterday", "[export]\nlook_back = x\n", "", 3,
         "[export] look_back \"x\" não é um número inteiro de dias"},
        {"--from 2024-03-01 --to 2024-03-01", "-", "", 3,
         "none.ini não pode ser lido: pasta ou arquivo inexistente"},
        {"--from 2024-03-01 --to 2024-03-01 --ca /x", "none", "", 2,
         "Nenhum arquivo de configurações encontrado (procurados " +
             (here() / ".config/krt/krt.ini").string() +
             " e /etc/krt/krt.ini; nem --config nem $KRT_CONFIG indicam outro): a exportação usa "
             "o servidor 127.0.0.1:8211, sem token e sem unidades mapeadas além das de --drive.\n"
             "dotz-export: --ca: só vale"},
        {"--from 2024-03-01 --to 2024-03-01", "[server]\nhost = h\nport = 0\n", "", 3,
         "[server] port \"0\" não é um número de porta"},
        {"--from 2024-03-01 --to 2024-03-01", "[drives]\nC = relativa\n", "", 3,
         "[drives] C: mapeamento de C"},
        {"--from 2024-03-01 --to 2024-03-01", "[drives]\nC = /a\nc = /b\n", "", 3,
         "linha 3: [drives] c mapeia o mesmo lugar que C, da linha 2"},
        {"--from pending --to yesterday", "", stateWith(fromToday(1), port), 3,
         "linha 2: o dia " + fromToday(1).regional() +
             " está registrado como exportado, mas ainda não chegou"},
        {"--from pending --to yesterday --check", "", stateWith(fromToday(0), port), 3,
         "linha 2: o dia " + fromToday(0).regional() +
             " está registrado como exportado, mas é hoje"},
        {"--from pending --to yesterday", "", "->" + (here() / "gone").string(), 3,
         "é um link simbólico"},
        {"--from pending --to yesterday", "", "->" + (here() / "real").string(), 3,
         "é um link simbólico"},
        {"--from 2024-03-01 --to 2024-03-01", "", "", 1, "127.0.0.1:" + std::to_string(port)},
    };
    std::ofstream(here() / "real") << stateWith(fromToday(-2), port);
    for (const Case& c : cases) {
        fs::remove(state());
        if (c.state.starts_with("->"))
            fs::create_symlink(c.state.substr(2), state());
        else if (!c.state.empty())
            std::ofstream(state()) << c.state;
        std::vector<std::string> argv = command(port, c.args);
        if (c.settings == "none") {
            if (fs::exists("/etc/krt/krt.ini"))
                continue; // this machine has the file
            argv.erase(argv.begin() + 1, argv.begin() + 5);
            argv.insert(argv.begin(), {"/usr/bin/env", "-u", "KRT_CONFIG",
                                       "HOME=" + here().string(), "XDG_CONFIG_HOME="});
        } else if (c.settings == "-")
            argv[2] = (here() / "none.ini").string();
        else if (!c.settings.empty())
            std::ofstream(argv[2] = (here() / "krt.ini").string()) << c.settings;
        const Ended e = testing::runToEnd(argv, here());
        EXPECT_EQ(e.code, c.code) << c.args << "\n" << e.err;
        EXPECT_NE(e.err.find(c.says), std::string::npos) << c.args << "\n" << e.err;
        if (c.state.starts_with("->")) { // the link stays as it was
            EXPECT_EQ(fs::read_symlink(state()), c.state.substr(2));
        }
    }
    EXPECT_EQ(files(), 0u);
}

TEST_F(Nights, AFutureToExportsWhatItHasButTheStateStopsAtYesterday)
{
    std::ofstream(state()) << stateWith(fromToday(-3), server_->port());
    const Ended e = testing::runToEnd(
        command(server_->port(), "--from pending --to " + fromToday(2).iso()), here());
    EXPECT_EQ(e.code, 0) << e.err;
    EXPECT_EQ(e.out, "Exportação realizada com sucesso.\nOs dias de " + fromToday(0).regional() +
                         " (hoje) em diante ainda não terminaram e não ficam registrados como "
                         "feitos: o estado vai até " +
                         fromToday(-1).regional() +
                         ", e a próxima exportação pendente os exporta de novo.\n");
    EXPECT_EQ(slurp(state()).substr(slurp(state()).find('\n') + 1),
              stateWith(fromToday(-1), server_->port()));
    EXPECT_GT(files(), 0u);
}

// The second run on a state ends at once, while the first holds a day; a
// killed holder's lock goes with it.
TEST_F(Nights, OnePendingRunAtATime)
{
    testing::StandInServer standIn(server_->port());
    const std::string before = stateWith(fromToday(-3), standIn.port());
    std::ofstream(state()) << before;
    const std::string pending = "--from pending --to yesterday";
    standIn.stallOn(fromToday(-2).iso());
    ChildProcess holder(command(standIn.port(), pending), here(), "holder");
    ASSERT_TRUE(standIn.awaitCall(fromToday(-2).iso(), std::chrono::seconds(120)));

    const fs::path metrics = here() / "second.prom";
    const Ended second = testing::runToEnd(
        command(standIn.port(), pending + " --metrics-file " + metrics.string()), here());
    EXPECT_TRUE(holder.running()); // it ended while the first still held its day
    EXPECT_EQ(second.code, 1);
    EXPECT_EQ(second.err, "Outra exportação pendente está em andamento com o arquivo de estado " +
                              state().string() + " (processo " + std::to_string(holder.pid()) +
                              "). Esta termina sem exportar nada; a próxima continua de onde "
                              "aquela parar.\n");
    EXPECT_EQ(slurp(state()), before);
    EXPECT_FALSE(fs::exists(metrics));
    EXPECT_EQ(files(), 0u);

    ::kill(holder.pid(), SIGKILL);
    EXPECT_EQ(holder.wait().signal, SIGKILL);
    standIn.stallOn({});
    standIn.release();
    const Ended next = testing::runToEnd(command(standIn.port(), pending), here());
    EXPECT_EQ(next.code, 0) << next.err;
    EXPECT_NE(slurp(state()).find(stateWith(fromToday(-1), standIn.port()).substr(20)),
              std::string::npos)
        << slurp(state());
}

// A stop sent while the program is still being started (here already waiting,
// blocked, when it starts, as the starter leaves one) ends the run as a stop
// does, not by the signal's default action.
TEST_F(Nights, AStopBeforeTheProgramRunsEndsItAsAStop)
{
    const std::vector<std::string> argv =
        command(testing::freePort(), "--from yesterday --to yesterday");
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string err = (here() / "stop.err").string();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        raise(SIGTERM);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(slurp(err), "Exportação interrompida a pedido antes do primeiro dia: nenhum "
                          "arquivo foi gravado.\n");
}

} // namespace
} // namespace dotz
