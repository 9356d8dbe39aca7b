// dotz-export: writes the DOTZ files of a period without the screen.
// Exit codes: 0 exported, 1 refused or failed, 2 usage error, 3 refused for a
// reason that trying again cannot mend (the timer's service does not retry it).
#include "metrics_file.h"
#include "pending.h"

#include "export/branch_list.h"
#include "export/checks.h"
#include "export/cp1252.h"
#include "export/error.h"
#include "export/plan.h"
#include "export/run.h"
#include "export/shown_text.h"
#include "export/wire_contract.h"
#include "settings/settings.h"
#include "toolkit/connection/principal_reply.h"
#include "toolkit/connection/server_connection.h"

#include "stop_signals.h"

#include "krt_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <langinfo.h>
#include <optional>
#include <unistd.h>
#include <utility>

using namespace dotz;

namespace {

constexpr int kExitLasting = 3;

// Texts reach the terminal in its own encoding; a lone carriage return inside a
// message is the screen's line break.
bool terminalIsLatin1()
{
    const std::string codeset = nl_langinfo(CODESET);
    return codeset == "ISO-8859-1" || codeset == "ISO-8859-15" || codeset == "CP1252";
}

std::string forTerminal(const std::string& utf8)
{
    std::string text = withoutControls(utf8);
    std::replace(text.begin(), text.end(), '\r', '\n');
    if (terminalIsLatin1()) {
        std::string out;
        if (!cp1252::appendFromUtf8(text, out))
            return out;
    }
    return text;
}

void say(std::ostream& out, const std::string& utf8)
{
    out << forTerminal(utf8) << std::endl;
}

std::optional<Day> today(int offset)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const auto day = Day::fromYmd(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return day ? std::optional<Day>(Day::fromSerial(day->serial() + offset)) : std::nullopt;
}

std::optional<Day> parseDay(const std::string& text)
{
    if (text == "today")
        return today(0);
    if (text == "yesterday")
        return today(-1);
    return Day::parse(text);
}

struct Options
{
    std::string from;
    std::string to;
    bool all = false;
    std::string branches;
    bool branchesGiven = false;
    bool with515 = false;
    std::string server;
    std::string token;
    std::string ca;
    std::vector<std::string> drives;
    std::string config;
    bool list = false;
    bool check = false;
    bool verbose = false;
    long long callTimeout = 0; // seconds; 0: the settings' or the default
    // Scaled down only by tests.
    size_t minRate = ServerConnection::CallLimits().minRate;
    long long rateWindowMs = ServerConnection::CallLimits().window.count();
    std::string state;
    int maxDays = kDefaultMaxDays;
    std::string metricsFile;
};

std::string count(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class TerminalProgress : public RunObserver
{
  public:
    explicit TerminalProgress(bool enabled) : enabled_(enabled) {}
    void showBusy(int) override {}
    void hideBusy() override {}
    void dayDone(Day day, const DayResult& r) override
    {
        if (!enabled_)
            return;
        say(std::cerr, day.regional() + ": " + count(r.rows[1], "venda", "vendas") + ", " +
                           count(r.rows[2], "item", "itens") + ", " +
                           count(r.rows[3], "produto em promoção", "produtos em promoção") + "; " +
                           count(r.files.size(), "arquivo", "arquivos"));
    }

  private:
    bool enabled_;
};

std::string stoppedText(const std::optional<Day>& last, Day from)
{
    const Day next = last ? last->next() : from;
    if (!last)
        return "Exportação interrompida a pedido antes do primeiro dia: nenhum arquivo foi "
               "gravado.";
    return "Exportação interrompida a pedido: os arquivos dos dias até " + last->regional() +
           " estão gravados; de " + next.regional() + " em diante, nada foi gravado.";
}

struct UsageError : Error
{
    using Error::Error;
};

// The option library's refusals, in the operator's words; its messages start
// with the option's name.
std::string usageText(const CLI::ParseError& e)
{
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find_first_of(": "));
    if (dynamic_cast<const CLI::ExcludesError*>(&e))
        return "--all e --branches não podem ser usadas juntas";
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        if (what.find("At Most") != std::string::npos)
            return name + ": a opção foi dada mais de uma vez";
        return name + ": falta o valor da opção";
    }
    if (dynamic_cast<const CLI::ConversionError*>(&e))
        return "valor não aceito: " + what.substr(what.find(':') + 2);
    return "argumentos inválidos (" + what + ")";
}

// Settings file first, flags over it.
// `serverId` names the server the run reaches: a state is kept per server.
void configure(const Options& o, ServerConnection& conn, PathMap& paths, std::string& token,
               std::string& serverId)
{
    std::optional<Settings> settings;
    const std::string file = Settings::locate(o.config);
    if (!file.empty())
        settings = Settings::load(file);
    if (o.verbose)
        say(std::cerr, file.empty() ? "Nenhum arquivo de configurações encontrado (procurado em " +
                                          Settings::lookupText() + "); valores padrão em uso."
                                    : "Configurações lidas de " + file + ".");

    std::string host = "127.0.0.1";
    int port = wire::kDefaultPort;
    bool tls = false;
    std::string ca;
    ServerConnection::CallLimits limits;
    limits.minRate = o.minRate;
    limits.window = std::chrono::milliseconds(o.rateWindowMs);
    if (settings) {
        limits.callTimeout = settings->serverCallTimeout();
        if (settings->value("server", "host"))
            host = settings->serverHost();
        if (settings->value("server", "port"))
            port = settings->serverPort();
        token = settings->serverToken();
        tls = settings->serverTls();
        ca = settings->serverCa();
        paths = settings->drives();
    }
    if (!o.server.empty()) {
        // A scheme chooses; a bare HOST:PORT keeps the settings' choice (HTTP by default).
        std::string server = o.server;
        if (server.starts_with("https://")) {
            tls = true;
            server.erase(0, 8);
        } else if (server.starts_with("http://")) {
            tls = false;
            server.erase(0, 7);
        }
        const size_t colon = server.rfind(':');
        int p = 0;
        try {
            size_t used = 0;
            p = colon == std::string::npos ? 0 : std::stoi(server.substr(colon + 1), &used);
            if (used != server.size() - colon - 1)
                p = 0;
        } catch (const std::exception&) {
            p = 0;
        }
        if (colon == std::string::npos || colon == 0 || p < 1 || p > 65535)
            throw UsageError("--server: \"" + o.server + "\" não tem a forma [https://]HOST:PORTA");
        host = server.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        port = p;
    }
    if (o.callTimeout > 0)
        limits.callTimeout = std::chrono::seconds(o.callTimeout);
    conn.setCallLimits(limits);
    if (!o.token.empty())
        token = o.token;
    if (!o.ca.empty())
        ca = o.ca;
    if (!o.ca.empty() && !tls)
        throw UsageError("--ca: só vale para um servidor https:// (ou com [server] tls = on)");
    for (const std::string& d : o.drives) {
        const size_t eq = d.find('=');
        if (eq == std::string::npos)
            throw UsageError("--drive: \"" + d + "\" não tem a forma LETRA=/pasta/local");
        try {
            paths.set(d.substr(0, eq), d.substr(eq + 1));
        } catch (const Error& e) {
            throw UsageError(std::string("--drive: ") + e.what());
        }
    }
    serverId = std::string(tls ? "https://" : "http://") +
               (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" +
               std::to_string(port);
    conn.setServerName(std::string(wire::kObjectName));
    conn.setBeforeConnect([host, port, token, tls, ca](ServerConnection& c) {
        c.SetHost(host);
        c.setPort(port);
        c.setToken(token);
        c.setTls(tls, ca);
    });
}

// A message's line breaks become spaces, so that each day keeps its one line.
std::string oneLine(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n')
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

int preflight(const std::vector<DayCheck>& days, bool list, const MessageTable& messages)
{
    size_t refused = 0, files = 0;
    std::string firstRefused;
    for (const DayCheck& d : days) {
        std::string line = d.day.regional() + ": ";
        if (d.refused) {
            if (refused++ == 0)
                firstRefused = d.day.regional();
            line += "seria recusado: " + oneLine(d.refusal);
        } else if (d.files.empty()) {
            line += "nada a gravar (não há pontos DOTZ no dia).";
        } else {
            size_t records = 0;
            for (const WrittenFile& f : d.files)
                records += f.records;
            files += d.files.size();
            line += std::string(d.files.size() == 1 ? "seria gravado " : "seriam gravados ") +
                    count(d.files.size(), "arquivo", "arquivos") + " com " +
                    count(records, "registro", "registros") + ".";
        }
        say(std::cout, line);
        if (list)
            for (const WrittenFile& f : d.files)
                say(std::cout,
                    "    " + f.localPath + " (" + count(f.records, "registro", "registros") + ")");
    }
    if (refused > 0) {
        say(std::cout, "Verificação concluída: " + std::to_string(refused) + " de " +
                           count(days.size(), "dia", "dias") +
                           (refused == 1 ? " seria recusado" : " seriam recusados") +
                           "; a exportação pararia em " + firstRefused +
                           ", o primeiro dia recusado. Nada foi gravado.");
        return 1;
    }
    if (files == 0) {
        say(std::cout, cp1252::toUtf8(messages.text("NAO_HA_DOTZ")));
        return 1;
    }
    say(std::cout, "Verificação concluída: o período seria exportado (" +
                       count(files, "arquivo", "arquivos") + "). Nada foi gravado.");
    return 0;
}

int run(const Options& o, RunRecord& record)
{
    const bool pending = o.from == "pending";
    const auto from = parseDay(pending ? o.to : o.from);
    if (!from && !pending)
        throw UsageError("--from: \"" + o.from +
                         "\" não é uma data (AAAA-MM-DD, dd/mm/aaaa, \"today\", \"yesterday\" "
                         "ou \"pending\")");
    if (o.maxDays < 1)
        throw UsageError("--max-days: precisa ser ao menos 1");
    const auto to = parseDay(o.to);
    if (!to)
        throw UsageError("--to: \"" + o.to +
                         "\" não é uma data (AAAA-MM-DD, dd/mm/aaaa, \"today\" ou \"yesterday\")");

    std::string selector = "T";
    if (o.branchesGiven) {
        std::vector<std::string> codes;
        size_t start = 0;
        while (true) {
            const size_t comma = std::min(o.branches.find(',', start), o.branches.size());
            const std::string code =
                cp1252::fromUtf8(o.branches.substr(start, comma - start), "--branches");
            if (code.empty() || code.size() > 4)
                throw UsageError("--branches: \"" + o.branches +
                                 "\" precisa de códigos de filial de 1 a 4 caracteres");
            codes.push_back(code);
            if (comma == o.branches.size())
                break;
            start = comma + 1;
        }
        selector = branchListText(codes);
    }

    const MessageTable& messages = dotzMessages();
    if (!(*to >= *from)) {
        say(std::cerr, cp1252::toUtf8(messages.text("DataIni>Fin")));
        return 1;
    }

    ServerConnection conn;
    // Before any other thread, so that only its own takes the signals.
    const StopSignals stop([&conn] { conn.cancel(); });
    PathMap paths;
    std::string token;
    std::string server;
    configure(o, conn, paths, token, server);

    std::optional<StateFile> state;
    const ExportKey key{server, selector, o.with515};
    Day first = *from;
    if (pending) {
        state.emplace(o.state.empty() ? StateFile::defaultPath() : o.state);
        state->load();
        record.lastDay = state->lastDay(key);
        const auto start = pendingFrom(*state, key, *to, o.maxDays);
        if (!start) {
            say(std::cout, nothingPendingText(*state, key, *to));
            return 0;
        }
        first = *start;
    }
    const FetchDay fetch = [&conn, &stop](const std::string& sel, Day day,
                                          const EarlyPacket& early) {
        if (stop.requested())
            throw Stopped();
        try {
            return fetchPrincipal(conn, sel, day, early);
        } catch (...) {
            // A call cut short by the stop fails; it is the stop that ends the run.
            if (stop.requested())
                throw Stopped();
            throw;
        }
    };
    const RunRequest request{selector, first, *to, o.with515};
    if (o.check) {
        try {
            return preflight(checkExport(request, fetch, paths, messages), o.list, messages);
        } catch (const Stopped&) {
            say(std::cerr, "Verificação interrompida a pedido. Nada foi gravado.");
            return 1;
        }
    }

    PosixFileSystem fs;
    TerminalProgress progress(isatty(STDERR_FILENO));
    // The state moves after each day, once its folders are flushed: a power cut
    // never leaves it ahead of the files.
    DayLedger ledger(progress, [&state, &key](Day day, const DayResult& done) {
        if (!state)
            return;
        syncFolders(done);
        state->complete(key, day);
    });
    RunSummary summary;
    std::exception_ptr failure;
    try {
        summary = runExport(request, fetch, paths, fs, ledger, messages);
    } catch (...) {
        failure = std::current_exception();
    }
    record.days = ledger.days;
    record.files = ledger.files;
    record.records = ledger.records;
    if (ledger.lastDay)
        record.lastDay = ledger.lastDay;
    if (failure) {
        // Every day done and none with points: for the timer, nothing to do.
        const bool none = ledger.days == to->serial() - first.serial() + 1 && ledger.files == 0;
        try {
            std::rethrow_exception(failure);
        } catch (const Stopped&) {
            say(std::cerr, stoppedText(ledger.lastDay, first));
            return 1;
        } catch (const Refusal& e) {
            if (!none)
                throw;
            if (pending) {
                say(std::cout, "Não há pontos DOTZ a exportar de " + first.regional() + " a " +
                                   to->regional() + "; os dias ficam registrados como feitos.");
                return 0;
            }
            say(std::cerr, e.what());
            return 1;
        }
    }
    if (o.list)
        for (const WrittenFile& f : summary.files)
            std::cout << f.localPath << "\t" << count(f.records, "registro", "registros")
                      << std::endl;
    say(std::cout, cp1252::toUtf8(messages.text("EXP_OK")));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    CLI::App app("Writes the DOTZ loyalty files (records 500, 510, 515) of a period, one day at\n"
                 "a time, from the application server into each branch's DOTZ folder.",
                 "dotz-export");
    Options o;
    // Required by hand, after the parse: an unknown option is told before a missing one.
    app.add_option("--from", o.from,
                   "First day: YYYY-MM-DD, dd/mm/yyyy, today or yesterday (required); or "
                   "pending: the day after the last one this export completed (see --state)");
    app.add_option("--to", o.to, "Last day, included (same forms; required)");
    auto* all = app.add_flag("--all", o.all, "All branches (the default)");
    app.add_option("--branches", o.branches, "Only these branches: codes separated by commas")
        ->excludes(all);
    app.add_flag("--with-515", o.with515, "Also write the 515 files (promotion products)");
    app.add_option("--server", o.server,
                   "Application server as [https://]HOST:PORT (default: settings, else "
                   "127.0.0.1:" +
                       std::to_string(wire::kDefaultPort) + "); https:// verifies its certificate");
    app.add_option("--ca", o.ca,
                   "CA certificates (PEM) for https:// (default: settings, else the system's)");
    app.add_option("--token", o.token, "Bearer token for the application server");
    app.add_option("--drive", o.drives,
                   "Map a Windows drive or share to a local folder: C=/srv/dotz (repeatable)");
    app.add_option("--config", o.config,
                   "Settings file (default: $KRT_CONFIG, else ~/.config/krt/krt.ini, else "
                   "/etc/krt/krt.ini)");
    app.add_flag("--list", o.list,
                 "Print each file written (or, with --check, planned), with its records");
    app.add_flag("--check", o.check,
                 "Preflight: fetch, check and plan every day of the period, write nothing, "
                 "print one line per day; exit 0 only when every day would export");
    app.add_flag("--verbose", o.verbose, "Say which settings file is read");
    app.add_option("--call-timeout", o.callTimeout,
                   "Longest one day's call may take, in seconds (default: settings' [server] "
                   "call_timeout, else 3600)")
        ->check(CLI::Range(1LL, 604800LL));
    app.add_option("--min-rate", o.minRate, "Slowest reply kept, in bytes a second (0: no floor)")
        ->group("");
    app.add_option("--rate-window", o.rateWindowMs, "Window of --min-rate, in milliseconds")
        ->check(CLI::Range(1LL, 3600000LL))
        ->group("");
    app.add_option("--state", o.state,
                   "State of --from pending, one per server, branch choice and 515 choice, "
                   "written after each day (default: $STATE_DIRECTORY/dotz-export.state, else "
                   "~/.local/state/krt/dotz-export.state)");
    app.add_option("--max-days", o.maxDays,
                   "Most days --from pending exports in one run; a longer backlog is refused "
                   "(default: 31)");
    app.add_option("--metrics-file", o.metricsFile,
                   "At the end of the run, write its figures here for node exporter's textfile "
                   "collector (a .prom file in its folder)");
    app.footer("Exit status: 0 exported (or nothing pending), 1 failed or refused (a later try\n"
               "may pass), 2 usage error, 3 refused for a reason that trying again cannot\n"
               "mend: a branch without its partner code or folder, a folder outside the mapped\n"
               "drive, a value the files cannot carry, a broken state file, a backlog past\n"
               "--max-days. The timer's service retries 1 and never 2 or 3.");
    app.set_version_flag("--version", "dotz-export " KRT_VERSION);
    app.allow_extras();
    RunRecord record;
    const auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    record.started = now();
    const int code = [&] {
        try {
            try {
                app.parse(argc, argv);
            } catch (const CLI::ParseError& e) {
                if (e.get_exit_code() == 0)
                    return app.exit(e); // --help, --version
                throw UsageError(usageText(e));
            }
            if (!app.remaining().empty()) {
                const std::string extra = app.remaining().front();
                throw UsageError(
                    (extra.starts_with('-') ? "opção desconhecida: " : "argumento não esperado: ") +
                    extra);
            }
            for (const char* flag : {"--from", "--to"})
                if (app.count(flag) == 0)
                    throw UsageError(std::string("falta a opção obrigatória ") + flag);
            o.branchesGiven = app.count("--branches") > 0;
            return run(o, record);
        } catch (const UsageError& e) {
            say(std::cerr, std::string("dotz-export: ") + e.what());
            say(std::cerr, "Use --help para ver as opções.");
            return 2;
        } catch (const LastingError& e) {
            say(std::cerr, e.what());
            return kExitLasting;
        } catch (const std::exception& e) {
            say(std::cerr, e.what());
            const auto* error = dynamic_cast<const Error*>(&e);
            if (o.verbose && error && !error->detail().empty())
                std::cerr << "detail: " << error->detail() << std::endl;
            return 1;
        }
    }();
    if (!o.metricsFile.empty()) {
        record.exitCode = code;
        record.ended = now();
        try {
            writeMetricsFile(o.metricsFile, record);
        } catch (const std::exception& e) {
            say(std::cerr, e.what());
        }
    }
    return code;
}
