// dotz-export against a real application server, checking the files byte for byte.
#include "appserver/stores/store.h"
#include "server_fixture.h"

#include "tests/support/promtool.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/wait.h>

namespace dotz {
namespace {

namespace fs = std::filesystem;
using testing::PostgresServer;
using testing::RunningServer;
using testing::TempDir;

// Three branches; 0003 has no partner code and sells only on 2024-03-17.
const char* kData[] = {
    "INSERT INTO FILIAL VALUES ('0001','Loja Centro','4321','C:\\EXPORTA\\'),"
    " ('0002','Loja Água Branca','PDZ2','C:\\EXPORTA\\'),"
    " ('0003','Loja Sem Parceiro',NULL,'C:\\EXPORTA\\')",
    "INSERT INTO CAIXA VALUES ('0001','001'),('0002','001'),('0003','001')",
    "INSERT INTO PRODUTO VALUES ('0000004711','CAFÉ 500G','7891234567895',12.9),"
    " ('0000000042','AÇÚCAR 1KG','7890000000042',4.99)",
    "INSERT INTO PROMOCAODOTZ VALUES ('PROMO1','Promoção de março','2024-03-01','2024-03-31')",
    "INSERT INTO PROMOCAODOTZFILIAL VALUES ('0001','PROMO1')",
    "INSERT INTO PRODPROMODOTZ VALUES ('PROMO1','0000004711',12.9,10,'2024-03-01','2024-03-31')",
    "INSERT INTO VENDA VALUES"
    " ('2024-03-15','0001','001','0000123456','14:32:05','OPER01',1234.5,'1234567890123456',123,'"
    "PROMO1'),"
    " ('2024-03-15','0001','001','0000123457','15:00:00','OPER01',10,'123456789012345',0,NULL),"
    " ('2024-03-15','0001','001','0000123458','16:00:00','OPER01',50,NULL,NULL,NULL),"
    " ('2024-03-15','0002','001','0000000001','09:10:11','MARIA',1.005,'1234567890123456',0.5,NULL)"
    ","
    " ('2024-03-17','0003','001','0000000009','10:00:00','JOSE',5,'1111222233334444',5,NULL)",
    "INSERT INTO ITEMVENDA VALUES"
    " ('2024-03-15','0001','001','0000123456',1,'0000004711',9.9,2,19.8,20,'PROMO1'),"
    " ('2024-03-15','0001','001','0000123456',2,'0000000042',4.99,1,4.99,NULL,NULL)",
};

// The day's files, as the loyalty programme must read them.
const std::map<std::string, std::string> kDay15 = {
    {"20240315_4321_0001_500_1.txt",
     "500|4321|0001|PROMO1|00010010000123456|1234-5678-9012-3456||1234.50|2024-03-15|14:32:05|001|"
     "OPER01|123\r\n"},
    {"20240315_PDZ2_0002_500_1.txt", "500|PDZ2|0002||00020010000000001|1234-5678-9012-3456||1.01|"
                                     "2024-03-15|09:10:11|001|MARIA|0,5\r\n"},
    {"20240315_4321_0001_510_1.txt", "510|4321|0001|001|PROMO1|00010010000123456|1234-5678-9012-"
                                     "3456|0000004711|7891234567895|2|9.90|"
                                     "19.80||20\r\n"},
    {"20240315_4321_0001_515_1.txt", "515|4321|0001|PROMO1|0000004711|||7891234567895|CAF\xC9 "
                                     "500G|12.90|10|2024-03-01|2024-03-31\r\n"},
};

struct Result
{
    int code;
    std::string out;
    std::string err;
};

class ExportE2e : public ::testing::TestWithParam<bool>
{
  protected:
    void SetUp() override
    {
        if (GetParam()) {
            postgres_ = std::make_unique<PostgresServer>();
            db_ = postgres_->uri();
        } else {
            db_ = (dir_.path() / "backoffice.db").string();
        }
        auto store = appserver::openStore(db_, testing::createFile());
        appserver::createSchema(*store);
        for (const char* sql : kData)
            store->exec(sql);
        server_ = std::make_unique<RunningServer>(testing::serverOn(db_));
        fs::create_directories(dir_.path() / "out/EXPORTA");
    }

    Result exportDays(const std::string& args, std::string server = {})
    {
        if (server.empty())
            server = "127.0.0.1:" + std::to_string(server_->port());
        const fs::path out = dir_.path() / "stdout", err = dir_.path() / "stderr";
        const std::string command = std::string(DOTZ_EXPORT_PATH) +
                                    " --config /dev/null --server " + server +
                                    " --drive C=" + (dir_.path() / "out").string() + " " + args +
                                    " >" + out.string() + " 2>" + err.string() + " </dev/null";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(out), read(err)};
    }
    static std::string read(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary | std::ios::ate);
        std::string text(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
        in.seekg(0);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        return text;
    }
    std::map<std::string, std::string> files() const
    {
        std::map<std::string, std::string> all;
        const fs::path folder = dir_.path() / "out/EXPORTA/DOTZ";
        if (fs::exists(folder))
            for (const auto& e : fs::directory_iterator(folder))
                all[e.path().filename().string()] = read(e.path());
        return all;
    }
    std::vector<std::string> calls() const
    {
        std::vector<std::string> lines;
        std::istringstream log(server_->log());
        for (std::string line; std::getline(log, line);)
            if (line.find("GetPrincipal") != std::string::npos)
                lines.push_back(line.substr(line.find("selector=")));
        return lines;
    }

    TempDir dir_;
    std::unique_ptr<PostgresServer> postgres_;
    std::string db_;
    std::unique_ptr<RunningServer> server_;
};

TEST_P(ExportE2e, WritesTheDaysFilesByteForByte)
{
    const Result r = exportDays("--from 2024-03-15 --to 15/03/2024 --with-515");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Exportação realizada com sucesso.\n");
    EXPECT_EQ(files(), kDay15);
}

TEST_P(ExportE2e, ACheckFailingOnTheThirdDayKeepsTheFirstTwo)
{
    const Result r = exportDays("--from 2024-03-15 --to 2024-03-17 --with-515");
    EXPECT_EQ(r.code, 3); // no retry mends a branch without its partner code
    EXPECT_EQ(r.err, "Operação bloqueada. Código do parceiro não cadastrado para as seguintes "
                     "filiais: \n0003.\nOs arquivos dos dias até 16/03/2024 estão gravados; de "
                     "17/03/2024 em diante, nada foi gravado.\n");
    // Day 16 has only the promotion's products; day 17 wrote nothing.
    auto expected = kDay15;
    expected["20240316_4321_0001_515_1.txt"] = kDay15.at("20240315_4321_0001_515_1.txt");
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(calls().size(), 3u);
}

TEST_P(ExportE2e, APeriodOfSevenDaysMakesSevenCallsInOrder)
{
    const Result r = exportDays("--from 2024-03-11 --to 2024-03-17 --branches 0001,0002");
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> expected;
    for (int d = 11; d <= 17; ++d)
        expected.push_back("selector=\"'0001','0002'\" day=2024-03-" + std::to_string(d));
    std::vector<std::string> got = calls();
    for (std::string& line : got)
        line = line.substr(0, line.find(" rows="));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(files().size(), 3u); // 500 of both branches and 510; no 515 without the flag
}

TEST_P(ExportE2e, NothingToExportIsRefused)
{
    const Result r = exportDays("--from 2024-01-01 --to 2024-01-02");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Operação bloqueada. Não há pontos DOTZ a serem exportados.\n");
    EXPECT_TRUE(files().empty());
}

TEST_P(ExportE2e, CheckPlansEveryDayGoesOnPastARefusalAndWritesNothing)
{
    Result r = exportDays("--check --from 2024-03-15 --to 2024-03-17 --with-515");
    EXPECT_EQ(r.code, 3) << r.err; // as the real run would: no retry mends it
    EXPECT_EQ(r.out, "15/03/2024: 4 arquivos; 4 novos, sem arquivo na pasta (filiais 0001: 500, "
                     "510 e 515; 0002: 500).\n"
                     "16/03/2024: 1 arquivo; 1 novo, sem arquivo na pasta (filial 0001: 515).\n"
                     "17/03/2024: seria recusado: Operação bloqueada. Código do parceiro não "
                     "cadastrado para as seguintes filiais: 0003.\n"
                     "Verificação concluída: 1 de 3 dias seria recusado; a exportação pararia "
                     "em 17/03/2024, o primeiro dia recusado. Nada foi gravado.\n");
    EXPECT_EQ(calls().size(), 3u);

    r = exportDays("--check --from 2024-03-15 --to 2024-03-16");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "15/03/2024: 3 arquivos; 3 novos, sem arquivo na pasta (filiais 0001: 500 e "
                     "510; 0002: 500).\n"
                     "16/03/2024: nada a gravar (não há pontos DOTZ no dia).\n"
                     "Verificação concluída: o período seria exportado (3 arquivos). Nada foi "
                     "gravado.\n");

    r = exportDays("--check --from 2024-03-15 --to 2024-03-16", "127.0.0.1:1");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("16/03/2024: seria recusado: "), std::string::npos) << r.out;
    EXPECT_TRUE(files().empty());
    EXPECT_FALSE(fs::exists(dir_.path() / "out/EXPORTA/DOTZ"));
}

TEST_P(ExportE2e, UsageErrorsNameTheFlag)
{
    struct Case
    {
        const char* args;
        const char* says;
    } cases[] = {
        {"--from 2024-02-30 --to 2024-03-01", "--from: \"2024-02-30\" não é uma data"},
        {"--from 2024-03-01 --to tomorrow", "--to: \"tomorrow\" não é uma data"},
        {"--from 2024-03-01 --to 2024-03-01 --branches 0001,,0002", "--branches: "},
        {"--from 2024-03-01 --to 2024-03-01 --drive C", "--drive: \"C\" não tem a forma"},
        {"--from 2024-03-01", "falta a opção obrigatória --to"},
        // Named as unknown even when a required option is missing too.
        {"--to 2024-03-01 --bogus", "opção desconhecida: --bogus"},
        {"--from 2024-03-01 --to 2024-03-01 --all --branches 0001", "não podem ser usadas juntas"},
        {"--from 2024-03-01 --to", "--to: falta o valor"},
        // Control characters reach the terminal only as \xNN.
        {"--from 2024\x7f --to 2024-03-01", "--from: \"2024\\x7f\" não é uma data"},
    };
    for (const Case& c : cases) {
        const Result r = exportDays(c.args);
        EXPECT_EQ(r.code, 2) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find("Use --help para ver as opções."), std::string::npos) << r.err;
    }
    EXPECT_TRUE(calls().empty());
}

TEST_P(ExportE2e, AServerFailureEndsTheRunWithItsMessage)
{
    const Result r = exportDays("--from 2024-03-15 --to 2024-03-15", "127.0.0.1:1");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("127.0.0.1:1"), std::string::npos) << r.err;
    EXPECT_TRUE(files().empty());
}

// The timer's nights: a failed one is made up by the next run, and only once.
TEST_P(ExportE2e, PendingDaysAreMadeUpAfterAFailedNightAndOnlyOnce)
{
    const int port = testing::freePort();
    const std::string server = "127.0.0.1:" + std::to_string(port);
    const fs::path state = dir_.path() / "state";
    const std::string before = "dotz-export-state 1\n2024-03-14 http://" + server + " T no-515\n";
    std::ofstream(state) << before;
    const std::string pending = "--from pending --to 2024-03-16 --state " + state.string() +
                                " --metrics-file " + (dir_.path() / "dotz.prom").string();

    Result r = exportDays(pending, server); // nothing listens there yet
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(read(state), before);
    EXPECT_TRUE(files().empty());
    EXPECT_NE(read(dir_.path() / "dotz.prom").find("dotz_export_last_run_success 0"),
              std::string::npos);

    RunningServer up(testing::serverOn(db_), port);
    r = exportDays(pending, server);
    EXPECT_EQ(r.code, 0) << r.err;
    auto expected = kDay15;
    expected.erase("20240315_4321_0001_515_1.txt");
    EXPECT_EQ(files(), expected); // day 16 has nothing without the 515 files
    EXPECT_NE(read(state).find("\n2024-03-16 http://" + server + " T no-515\n"), std::string::npos)
        << read(state);
    std::vector<std::string> days;
    std::istringstream log(up.log());
    for (std::string line; std::getline(log, line);)
        if (line.find("GetPrincipal") != std::string::npos)
            days.push_back(line.substr(line.find("day="), 14));
    EXPECT_EQ(days, (std::vector<std::string>{"day=2024-03-15", "day=2024-03-16"}));
    const std::string metrics = read(dir_.path() / "dotz.prom");
    EXPECT_NE(metrics.find("dotz_export_last_run_files 3\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("dotz_export_last_completed_day_timestamp_seconds 1710547200\n"),
              std::string::npos);
    if (const auto verdict = testing::promtoolCheckMetrics(metrics)) {
        EXPECT_TRUE(verdict->passed) << verdict->output;
    }

    r = exportDays(pending, server);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Nada pendente: os dias até 16/03/2024 já foram exportados (estado em " +
                         state.string() + ").\n");
    EXPECT_NE(read(dir_.path() / "dotz.prom").find("last_success_timestamp_seconds"),
              std::string::npos);
}

// A store's late sales: the check and the look-back name the changed file, and
// only a rewrite asked for replaces it.
TEST_P(ExportE2e, ASaleChangedAfterItsDayWasExportedIsFoundAndRewrittenOnlyWhenAsked)
{
    const std::string server = "127.0.0.1:" + std::to_string(server_->port());
    const fs::path state = dir_.path() / "state", prom = dir_.path() / "dotz.prom";
    std::ofstream(state) << "dotz-export-state 1\n2024-03-14 http://" + server + " T no-515\n";
    // The changed day is the last the look-back compares, the one before the first pending day.
    const std::string pending = "--from pending --to 2024-03-15 --look-back 3 --state " +
                                state.string() + " --metrics-file " + prom.string();
    Result r = exportDays(pending);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Exportação realizada com sucesso.\n");
    const std::string check = "--check --from 2024-03-15 --to 2024-03-15";
    EXPECT_EQ(exportDays(check).out, "15/03/2024: 3 arquivos; todos iguais aos da pasta.\n"
                                     "Verificação concluída: o período seria exportado (3 "
                                     "arquivos). Nada foi gravado.\n");

    appserver::openStore(db_, testing::createFile())
        ->exec("UPDATE VENDA SET VRTOTVENDA = 2 WHERE CDFILIAL = '0002'");
    const auto before = files();
    r = exportDays(check);
    EXPECT_EQ(r.code, 0) << r.err; // a difference is no failure
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "15/03/2024: 3 arquivos; 2 iguais aos da pasta, 1 diferente (filial 0002: 500).");
    EXPECT_EQ(files(), before);

    const std::string nothing = "Nada pendente: os dias até 15/03/2024 já foram exportados "
                                "(estado em " +
                                state.string() + ").\n";
    const std::string found = "15/03/2024, dia já exportado: 1 diferente (filial 0002: 500); ";
    struct Step
    {
        std::string args;
        std::string out;
        const char* metric;
        bool untouched; // the files in place stay as they were
    } steps[] = {
        {"",
         nothing + found +
             "nada foi regravado. Para regravar: dotz-export --from 2024-03-15 --to "
             "2024-03-15 --branches 0002\n",
         "dotz_export_look_back_differing_files 1\n", true},
        {" --rewrite-changed",
         nothing + found +
             "regravando (--rewrite-changed).\n15/03/2024: regravado 1 arquivo (filial 0002: "
             "500).\n",
         "dotz_export_look_back_rewritten_files 1\n", false},
        {"", nothing, "dotz_export_look_back_differing_files 0\n", false},
    };
    for (const Step& step : steps) {
        r = exportDays(pending + step.args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, step.out) << step.args;
        const std::string metrics = read(prom);
        EXPECT_NE(metrics.find(step.metric), std::string::npos) << metrics;
        if (const auto verdict = testing::promtoolCheckMetrics(metrics)) {
            EXPECT_TRUE(verdict->passed) << verdict->output;
        }
        if (step.untouched) {
            EXPECT_EQ(files(), before);
        }
    }
    auto after = before;
    after["20240315_PDZ2_0002_500_1.txt"] = "500|PDZ2|0002||00020010000000001|1234-5678-9012-"
                                            "3456||2.00|2024-03-15|09:10:11|001|MARIA|0,5\r\n";
    EXPECT_EQ(files(), after);
}

// What no retry can mend ends with exit 3 and writes nothing more.
TEST_P(ExportE2e, PendingRefusalsThatARetryCannotMend)
{
    const std::string server = "127.0.0.1:" + std::to_string(server_->port());
    const fs::path state = dir_.path() / "state";
    struct Case
    {
        std::string state;
        const char* to;
        std::string error; // a part of the message
        const char* after; // the state's day afterwards
    } cases[] = {
        {"dotz-export-state 1\n2024-03-14 http://" + server + " T no-515 more\n", "2024-03-16",
         "Arquivo de estado " + state.string() + " danificado (linha 2: esperados 4 campos", ""},
        {"dotz-export-state 1\n2024-02-13 http://" + server + " T no-515\n", "2024-03-16",
         "Há 32 dias pendentes, de 14/02/2024 a 16/03/2024", ""},
        // Days 15 and 16 are written, the branch without partner code stops day 17.
        {"dotz-export-state 1\n2024-03-14 http://" + server + " T no-515\n", "2024-03-17",
         "Código do parceiro não cadastrado", "2024-03-16"},
    };
    for (const Case& c : cases) {
        std::ofstream(state, std::ios::trunc) << c.state;
        const Result r =
            exportDays(std::string("--from pending --to ") + c.to + " --state " + state.string());
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        if (*c.after) {
            EXPECT_NE(read(state).find(std::string("\n") + c.after + " "), std::string::npos);
            EXPECT_EQ(files().size(), 3u);
        } else {
            EXPECT_EQ(read(state), c.state);
            EXPECT_TRUE(files().empty());
        }
    }
    EXPECT_EQ(calls().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Engines, ExportE2e, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "PostgreSQL" : "SQLite";
                         });

} // namespace
} // namespace dotz
