#include "options.h"

#include "base/wire_contract.h"
#include "connection/server_connection.h"
#include "pending.h"

#include "krt_version.h"

#include <CLI/CLI.hpp>

#include <charconv>

namespace dotz {
namespace {

// A whole number from `low` to `high`. The parser puts the option's name before
// the text: "--call-timeout: o valor 0 não está entre 1 e 604800".
CLI::Validator wholeNumber(long long low, long long high)
{
    const std::string range = std::to_string(low) + " e " + std::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            long long value = 0;
            const char* end = text.data() + text.size();
            const auto [ptr, ec] = std::from_chars(text.data(), end, value);
            if (ec == std::errc::result_out_of_range ||
                (ec == std::errc() && ptr == end && (value < low || value > high)))
                return "o valor " + text + " não está entre " + range;
            if (ec != std::errc() || ptr != end)
                return "\"" + text + "\" não é um número inteiro (de " + std::to_string(low) +
                       " a " + std::to_string(high) + ")";
            return {};
        },
        "INT in [" + std::to_string(low) + " - " + std::to_string(high) + "]");
}

// The option an English message of the parser is about: its first word that
// starts with "--".
std::string optionIn(const std::string& what)
{
    const size_t at = what.find("--");
    if (at == std::string::npos)
        return "dotz-export";
    const size_t end = what.find_first_of(" :=,", at);
    return what.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The parser's refusals, in the operator's words, each naming its option.
std::string usageText(const CLI::ParseError& e)
{
    const std::string what = e.what();
    const std::string name = optionIn(what);
    if (dynamic_cast<const CLI::ExcludesError*>(&e))
        return "--all e --branches não podem ser usadas juntas";
    if (dynamic_cast<const CLI::ValidationError*>(&e))
        return what; // our validators' text, after the option's name
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        if (what.find("At Most") != std::string::npos)
            return name + ": a opção foi dada mais de uma vez";
        return name + ": falta o valor da opção";
    }
    if (dynamic_cast<const CLI::ConversionError*>(&e)) {
        if (what.find("too many inputs for a flag") != std::string::npos)
            return name + ": a opção não leva valor";
        if (what.find("true/false") != std::string::npos)
            return name + ": a opção não leva valor (ou leva true ou false)";
        return name + ": valor não aceito";
    }
    return name + ": argumentos não aceitos";
}

} // namespace

std::optional<int> parseCommandLine(int argc, char** argv, Options& o)
{
    const ServerConnection::CallLimits limits;
    o.minRate = limits.minRate;
    o.rateWindowMs = limits.window.count();
    o.maxDays = kDefaultMaxDays;

    CLI::App app("Writes the DOTZ loyalty files (records 500, 510, 515) of a period, one day at\n"
                 "a time, from the application server into each branch's DOTZ folder.",
                 "dotz-export");
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
                 "Preflight: fetch, check and plan every day of the period, compare its files "
                 "with those in place, write nothing, print one line per day; exit 0 only when "
                 "every day would export");
    app.add_flag("--verbose", o.verbose,
                 "Say which settings file is read, and the system's own words of a failure");
    app.add_option("--call-timeout", o.callTimeout,
                   "Longest one day's call may take, in seconds (default: settings' [server] "
                   "call_timeout, else 3600)")
        ->check(wholeNumber(1, 604800));
    app.add_option("--max-reply-gib", o.maxReplyGib,
                   "Largest reply taken for one day, in GiB (default: settings' [server] "
                   "max_reply_gib, else 1024)")
        ->check(wholeNumber(1, 1024));
    app.add_option("--min-rate", o.minRate, "Slowest reply kept, in bytes a second (0: no floor)")
        ->check(wholeNumber(0, 1LL << 40))
        ->group("");
    app.add_option("--rate-window", o.rateWindowMs, "Window of --min-rate, in milliseconds")
        ->check(wholeNumber(1, 3600000))
        ->group("");
    app.add_option("--state", o.state,
                   "State of --from pending, one per server, branch choice and 515 choice, "
                   "written after each day before today (default: "
                   "$STATE_DIRECTORY/dotz-export.state, else ~/.local/state/krt/"
                   "dotz-export.state); one pending run at a time holds its .lock beside it");
    app.add_option("--max-days", o.maxDays,
                   "Most days --from pending exports in one run; a longer backlog is refused "
                   "(default: 31)")
        ->check(wholeNumber(1, 36600));
    app.add_option("--metrics-file", o.metricsFile,
                   "At the end of the run, write its figures here for node exporter's textfile "
                   "collector (a .prom file in its folder)");
    app.add_option("--look-back", o.lookBack,
                   "With --from pending, also compare the N days before the first pending one "
                   "with their files in place, writing nothing, and name each day that differs "
                   "(default: settings' [export] look_back, else 0)")
        ->check(wholeNumber(0, 366));
    app.add_flag("--rewrite-changed", o.rewriteChanged,
                 "With --look-back, write over the files of those days that differ from the "
                 "ones in place (never removes a file)");
    app.footer("Exit status:\n"
               "  0  exported (or nothing pending)\n"
               "  1  failed; a later try may pass: server down, a broken reply, a failed write,\n"
               "     no DOTZ points in the period, another pending run on the same state\n"
               "  2  usage error: an option, --from after --to, --branches outside Windows-1252\n"
               "  3  refused for a reason that trying again cannot mend: a settings file missing,\n"
               "     unreadable or wrong, a branch without its partner code or folder, a folder\n"
               "     outside the mapped drive, a value the files cannot carry, a state file that\n"
               "     is broken, a link or holds today or a later day, a backlog past\n"
               "     --max-days\n"
               "With --check: 3 when a day would be refused so, else 1 when one would fail.\n"
               "The timer's service retries 1 and never 2 or 3.");
    app.set_version_flag("--version", "dotz-export " KRT_VERSION);
    app.allow_extras();
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
            (extra.starts_with('-') ? "opção desconhecida: " : "argumento não esperado: ") + extra);
    }
    for (const char* flag : {"--from", "--to"})
        if (app.count(flag) == 0)
            throw UsageError(std::string("falta a opção obrigatória ") + flag);
    o.branchesGiven = app.count("--branches") > 0;
    return std::nullopt;
}

} // namespace dotz
