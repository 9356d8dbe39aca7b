// dotz-export: writes the DOTZ files of a period without the screen. Its exit
// statuses are in options.h.
#include "free_space.h"
#include "in_place.h"
#include "metrics_file.h"
#include "options.h"
#include "pending.h"
#include "progress_line.h"
#include "state_lock.h"
#include "stop_signals.h"
#include "terminal.h"

#include "base/branch_list.h"
#include "base/cp1252.h"
#include "base/error.h"
#include "base/wire_contract.h"
#include "connection/principal_reply.h"
#include "connection/server_connection.h"
#include "connection/server_list.h"
#include "export/checks.h"
#include "export/plan.h"
#include "export/run.h"
#include "settings/settings.h"

#include <algorithm>
#include <chrono>
#include <clocale>
#include <iostream>
#include <map>
#include <optional>
#include <sched.h>
#include <unistd.h>
#include <utility>

using namespace dotz;

namespace {

std::optional<Day> parseDay(const std::string& text, Day today)
{
    if (text == "today")
        return today;
    if (text == "yesterday")
        return Day::fromSerial(today.serial() - 1);
    return Day::parse(text);
}

// The first letter of a sentence that starts in lower case.
std::string sentence(std::string text)
{
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text + ".";
}

// A failure's message, then what the days before it left; its exit status.
int failed(const std::exception& e, bool verbose, const std::optional<Day>& lastDay = {})
{
    say(std::cerr, e.what());
    const auto* partly = dynamic_cast<const PartlyPlaced*>(&e);
    if (lastDay || (partly && !partly->placed().empty()))
        say(std::cerr, sentence(writtenUpToText(lastDay, partly)));
    const auto* error = dynamic_cast<const Error*>(&e);
    if (verbose && error && !error->detail().empty())
        std::cerr << "detail: " << error->detail() << std::endl;
    return dynamic_cast<const LastingError*>(&e) ? kExitLasting : kExitFailed;
}

// The last closed day a run completed: today's files may be in place, but its
// sales still come in.
std::optional<Day> lastClosed(const std::optional<Day>& last, Day first, Day today)
{
    if (!last || *last < today)
        return last;
    const Day yesterday = Day::fromSerial(today.serial() - 1);
    return first <= yesterday ? std::optional<Day>(yesterday) : std::nullopt;
}

// Settings file first, flags over it. `servers` are the store's application
// servers, in the order they are tried; `ca` the CA their certificates are
// verified against.
void configure(const Options& o, ServerConnection& conn, PathMap& paths,
               std::vector<ServerAddress>& servers, std::string& ca, int& lookBackDays)
{
    std::optional<Settings> settings;
    const std::string file = Settings::locate(o.config);
    if (!file.empty())
        settings = Settings::load(file);
    std::string hosts = "127.0.0.1";
    int port = wire::kDefaultPort;
    if (file.empty() && o.server.empty()) {
        // Said always: a run by hand may have meant a file that is not there. The
        // timer's service names its file, and a named file that is missing is refused.
        const std::vector<std::string> candidates = Settings::candidates();
        std::string looked;
        for (size_t i = 0; i < candidates.size(); ++i)
            looked += (i == 0 ? "" : i + 1 == candidates.size() ? " e " : ", ") + candidates[i];
        say(std::cerr, "Nenhum arquivo de configurações encontrado (procurados " + looked +
                           "; nem --config nem $KRT_CONFIG indicam outro): a exportação usa o "
                           "servidor " +
                           hosts + ":" + std::to_string(port) +
                           ", sem token e sem unidades mapeadas além das de --drive.");
    } else if (o.verbose) {
        say(std::cerr, file.empty() ? "Nenhum arquivo de configurações encontrado (procurado em " +
                                          Settings::lookupText() + "); valores padrão em uso."
                                    : "Configurações lidas de " + file + ".");
    }
    bool tls = false;
    std::string token;
    ServerConnection::CallLimits limits;
    limits.minRate = o.minRate;
    limits.window = std::chrono::milliseconds(o.rateWindowMs);
    if (settings) {
        limits.callTimeout = settings->serverCallTimeout();
        if (const auto most = settings->serverMaxReplyBytes())
            limits.maxReplyBytes = *most;
        if (settings->value("server", "host"))
            hosts = settings->serverHost();
        if (settings->value("server", "port"))
            port = settings->serverPort();
        token = settings->serverToken();
        tls = settings->serverTls();
        ca = settings->serverCa();
        paths = settings->drives();
        lookBackDays = settings->exportLookBack();
    }
    if (o.lookBack >= 0)
        lookBackDays = o.lookBack;
    if (!o.server.empty()) {
        // A scheme chooses; a bare HOST:PORT keeps the settings' choice (HTTP by default).
        try {
            servers = parseServerList(o.server, tls);
        } catch (const Error& e) {
            throw UsageError(std::string("--server: ") + e.what());
        }
    } else {
        servers = settingsServerList(file, hosts, tls, port);
    }
    if (o.callTimeout > 0)
        limits.callTimeout = std::chrono::seconds(o.callTimeout);
    if (o.maxReplyGib > 0)
        limits.maxReplyBytes = static_cast<std::uint64_t>(o.maxReplyGib) << 30;
    conn.setCallLimits(limits);
    if (!o.token.empty())
        token = o.token;
    if (!o.ca.empty())
        ca = o.ca;
    const bool anyTls =
        std::any_of(servers.begin(), servers.end(), [](const ServerAddress& s) { return s.tls; });
    if (!o.ca.empty() && !anyTls)
        throw UsageError("--ca: só vale para um servidor https:// (ou com [server] tls = on)");
    std::map<std::string, std::string> given; // driveKey -> the flag's key
    for (const std::string& d : o.drives) {
        const size_t eq = d.find('=');
        if (eq == std::string::npos)
            throw UsageError("--drive: \"" + d + "\" não tem a forma LETRA=/pasta/local");
        const std::string key = d.substr(0, eq);
        if (const auto [same, added] = given.try_emplace(Settings::driveKey(key), key); !added)
            throw UsageError("--drive: " + key + " mapeia o mesmo lugar que " + same->second +
                             ", dada antes");
        try {
            paths.set(d.substr(0, eq), d.substr(eq + 1));
        } catch (const Error& e) {
            throw UsageError(std::string("--drive: ") + e.what());
        }
    }
    conn.setServerName(std::string(wire::kObjectName));
    conn.setToken(token);
}

// One line per day, then the verdict. A refusal that no retry mends makes the
// whole check one (3): the timer's service would retry the real run in vain.
int preflight(const std::vector<DayCheck>& days, bool list, const MessageTable& messages)
{
    size_t refused = 0, files = 0;
    bool lasting = false;
    std::string firstRefused;
    for (const DayCheck& d : days) {
        std::string line = d.day.regional() + ": ";
        if (d.refused) {
            if (refused++ == 0)
                firstRefused = d.day.regional();
            line += "seria recusado: " + oneLine(d.refusal);
            lasting = lasting || d.lasting;
        } else {
            files += d.files.size();
            line += comparisonText(d);
        }
        say(std::cout, line);
        if (list) {
            for (size_t i = 0; i < d.files.size(); ++i)
                say(std::cout, "    " + d.files[i].localPath + " (" +
                                   count(d.files[i].records, "registro", "registros") + "; " +
                                   inPlaceWord(d.inPlace[i]) + ")");
            for (const WrittenFile& f : d.left)
                say(std::cout, "    " + f.localPath + " (na pasta; o dia não o gera mais)");
        }
    }
    if (refused > 0) {
        say(std::cout, "Verificação concluída: " + std::to_string(refused) + " de " +
                           count(days.size(), "dia", "dias") +
                           (refused == 1 ? " seria recusado" : " seriam recusados") +
                           "; a exportação pararia em " + firstRefused +
                           ", o primeiro dia recusado. Nada foi gravado.");
        return lasting ? kExitLasting : kExitFailed;
    }
    if (files == 0) {
        say(std::cout, cp1252::toUtf8(messages.text("NAO_HA_DOTZ")));
        return kExitFailed;
    }
    say(std::cout, "Verificação concluída: o período seria exportado (" +
                       count(files, "arquivo", "arquivos") + "). Nada foi gravado.");
    return kExitDone;
}

int run(const Options& o, StopSignals& stop, RunRecord& record, std::optional<StateLock>& lock)
{
    const bool pending = o.from == "pending";
    const Day today = localToday();
    const auto from = parseDay(pending ? o.to : o.from, today);
    if (!from && !pending)
        throw UsageError("--from: \"" + o.from +
                         "\" não é uma data (AAAA-MM-DD, dd/mm/aaaa, \"today\", \"yesterday\" "
                         "ou \"pending\")");
    const auto to = parseDay(o.to, today);
    if (!to)
        throw UsageError("--to: \"" + o.to +
                         "\" não é uma data (AAAA-MM-DD, dd/mm/aaaa, \"today\" ou \"yesterday\")");

    std::string selector(wire::kAllBranches);
    if (o.branchesGiven) {
        std::string branches;
        try {
            branches = cp1252::fromUtf8(o.branches, "--branches");
        } catch (const Error& e) {
            throw UsageError(e.what());
        }
        const std::vector<std::string> codes = splitPlainCodes(branches);
        for (const std::string& code : codes)
            if (code.empty() || code.size() > static_cast<size_t>(wire::kBranchCodeSize))
                throw UsageError("--branches: \"" + o.branches +
                                 "\" precisa de códigos de filial de 1 a " +
                                 std::to_string(wire::kBranchCodeSize) + " caracteres");
        selector = branchListText(codes);
    }

    const MessageTable& messages = dotzMessages();
    if (!(*to >= *from))
        throw UsageError(cp1252::toUtf8(messages.text("DataIni>Fin")));

    ServerConnection conn;
    const auto hook = stop.onStop([&conn] { conn.cancel(); });
    TerminalProgress progress(std::cerr, isatty(STDERR_FILENO));
    PathMap paths;
    std::vector<ServerAddress> servers;
    std::string ca;
    int lookBackDays = 0;
    configure(o, conn, paths, servers, ca, lookBackDays);
    if (o.lookBack > 0 && !pending)
        throw UsageError("--look-back: só vale com --from pending");
    if (o.rewriteChanged && (!pending || lookBackDays == 0))
        throw UsageError("--rewrite-changed: só vale com --from pending e --look-back");
    // A switch is said on the progress line and, under the timer, in the journal.
    const FetchDay overServers = failoverFetch(
        servers,
        [&conn, &ca](const ServerAddress& s) {
            conn.SetHost(s.host);
            conn.setPort(s.port);
            conn.setTls(s.tls, s.tls ? ca : std::string());
        },
        [&progress](const std::string& notice) {
            progress.clear();
            say(std::cerr, notice);
        },
        [&conn](const std::string& sel, Day day, const EarlyPacket& early) {
            return fetchPrincipal(conn, sel, day, early);
        });

    std::optional<StateFile> state;
    // The state is the store's: kept under the list's first server, and a day
    // any server of the list recorded counts.
    ExportKey key{servers.front().id(), selector, o.with515};
    for (size_t i = 1; i < servers.size(); ++i)
        key.sameStore.push_back(servers[i].id());
    Day first = *from;
    std::optional<Day> start;      // of a pending run: nothing when nothing is pending
    std::optional<Day> lookBackTo; // the last day the look-back compares
    if (pending) {
        const std::string path = o.state.empty() ? StateFile::defaultPath() : o.state;
        // A check writes nothing, so it may run beside the export.
        if (!o.check)
            lock.emplace(path);
        state.emplace(path);
        state->load(today);
        record.lastDay = state->lastDay(key);
        start = pendingFrom(*state, key, *to, o.maxDays);
        // Only days this state records as exported are looked back at.
        if (record.lastDay)
            lookBackTo = start ? std::min(*record.lastDay, Day::fromSerial(start->serial() - 1))
                               : std::min(*record.lastDay, *to);
        if (!start)
            say(std::cout, nothingPendingText(*state, key, *to));
        first = start.value_or(*to);
    }
    const FetchDay fetch = [&stop, &overServers](const std::string& sel, Day day,
                                                 const EarlyPacket& early) {
        if (stop.requested())
            throw Stopped();
        try {
            return overServers(sel, day, early);
        } catch (...) {
            // A call cut short by the stop fails; it is the stop that ends the run.
            if (stop.requested())
                throw Stopped();
            throw;
        }
    };
    // The days already exported before the pending ones, set against their files
    // in place once the pending days are done; the run's status stays theirs.
    const auto lookingBack = [&](int code) {
        if (o.check || !lookBackTo || lookBackDays == 0)
            return code;
        const RunRequest back{selector, Day::fromSerial(lookBackTo->serial() - lookBackDays + 1),
                              *lookBackTo, o.with515};
        PosixFileSystem fs;
        try {
            const LookBackFigures f =
                lookBack(back, fetch, paths, fs, o.rewriteChanged, std::cout, messages);
            record.lookedBack = true;
            record.lookBackDays = f.days;
            record.lookBackFiles = f.files;
            record.rewrittenFiles = f.rewritten;
        } catch (const Stopped&) {
            say(std::cerr, "Comparação dos dias já exportados interrompida a pedido.");
            return kExitFailed;
        }
        return code;
    };
    if (pending && !start)
        return lookingBack(kExitDone);
    const RunRequest request{selector, first, *to, o.with515};
    if (o.check) {
        try {
            std::vector<DayCheck> days = checkExport(request, fetch, paths, messages);
            checkFreeSpace(days);
            return preflight(days, o.list, messages);
        } catch (const Stopped&) {
            say(std::cerr, "Verificação interrompida a pedido. Nada foi gravado.");
            return kExitFailed;
        }
    }

    PosixFileSystem fs;
    // The state moves after each closed day, whose folders the run has flushed: a
    // power cut never leaves it ahead of the files.
    DayLedger ledger(progress, [&state, &key, today](Day day, const DayResult&) {
        if (!state)
            return;
        if (day < today)
            state->complete(key, day);
    });
    RunSummary summary;
    std::exception_ptr failure;
    conn.setReceivedHook([&progress](std::uint64_t bytes) { progress.received(bytes); });
    try {
        summary = runExport(request, fetch, paths, fs, ledger, messages);
    } catch (...) {
        failure = std::current_exception();
    }
    conn.setReceivedHook({});
    progress.clear();
    record.days = ledger.days;
    record.files = ledger.files;
    record.records = ledger.records;
    if (const auto closed = lastClosed(ledger.lastDay, first, today))
        record.lastDay = closed;
    // The run reached days that have not closed, which the state leaves pending.
    const bool open = pending && ledger.lastDay && *ledger.lastDay >= today;
    if (failure) {
        // Every day done and none with points: for the timer, nothing to do.
        const bool none = ledger.days == to->serial() - first.serial() + 1 && ledger.files == 0;
        try {
            std::rethrow_exception(failure);
        } catch (const Stopped&) {
            say(std::cerr, "Exportação interrompida a pedido" +
                               std::string(ledger.lastDay ? ": " : " antes do primeiro dia: ") +
                               writtenUpToText(ledger.lastDay) + ".");
            return kExitFailed;
        } catch (const Refusal& e) {
            if (!none)
                return failed(e, o.verbose, ledger.lastDay);
            if (!pending) {
                say(std::cerr, e.what());
                return kExitFailed;
            }
            say(std::cout, "Não há pontos DOTZ a exportar de " + first.regional() + " a " +
                               to->regional() +
                               (open ? "." : "; os dias ficam registrados como feitos."));
            if (open)
                say(std::cout, openDaysText(today, state->lastDay(key)));
            return lookingBack(kExitDone);
        } catch (const std::exception& e) {
            return failed(e, o.verbose, ledger.lastDay);
        }
    }
    if (o.list)
        for (const WrittenFile& f : summary.files)
            std::cout << f.localPath << "\t" << count(f.records, "registro", "registros")
                      << std::endl;
    say(std::cout, cp1252::toUtf8(messages.text("EXP_OK")));
    if (open)
        say(std::cout, openDaysText(today, state->lastDay(key)));
    return lookingBack(kExitDone);
}

} // namespace

int main(int argc, char** argv)
{
    // First of all: a stop that comes from here on is the run's to handle.
    StopSignals stop;
    // An export is a batch job: it keeps its fair share of the CPU but does not
    // preempt on waking, so that a server on the same machine keeps its turns.
    // Its threads, started after this, inherit it. A hint: refused, nothing changes.
    const sched_param batch{};
    sched_setscheduler(0, SCHED_BATCH, &batch);
    std::setlocale(LC_ALL, "");
    RunRecord record;
    const auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    record.started = now();
    Options o;
    // Held until the metrics are written, so that no other run's come between.
    std::optional<StateLock> lock;
    bool busy = false;
    const int code = [&] {
        try {
            if (const auto ended = parseCommandLine(argc, argv, o))
                return *ended;
            return run(o, stop, record, lock);
        } catch (const UsageError& e) {
            say(std::cerr, std::string("dotz-export: ") + e.what());
            say(std::cerr, "Use --help para ver as opções.");
            return kExitUsage;
        } catch (const StateBusy& e) {
            busy = true; // the run that holds the state writes the metrics too
            say(std::cerr, e.what());
            return kExitFailed;
        } catch (const std::exception& e) {
            return failed(e, o.verbose);
        }
    }();
    if (!o.metricsFile.empty() && !busy) {
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
