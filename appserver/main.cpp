// krt-appserver: the application server of the DOTZ export, and its demo data.
#include "server.h"

#include "appserver/demo/demo.h"
#include "appserver/operations/request_log.h"
#include "appserver/stores/connection_string.h"
#include "appserver/stores/store.h"
#include "appserver/stores/store_engines.h"

#include "base/error.h"
#include "base/wire_contract.h"
#include "settings/settings.h"

#include "krt_version.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>

using namespace dotz::appserver;

namespace {

int serve(const ServerOptions& options)
{
    // SIGINT and SIGTERM are taken by one thread that stops the server, so no
    // signal lands inside a request.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A call's buffers (a few MB) come from mmap and go back to the system when
    // it ends: with the dynamic threshold they stay in the query threads'
    // arenas, and many calls at once leave the server hundreds of MB larger.
    mallopt(M_MMAP_THRESHOLD, 512 * 1024);
    // Each connection holds a descriptor, and the usual soft limit is 1024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    const bool loopback =
        options.listen == "127.0.0.1" || options.listen == "::1" || options.listen == "localhost";
    const bool tls = !options.tlsCert.empty();
    if (!loopback && options.token.empty())
        std::cerr << "krt-appserver: warning: listening on " << options.listen
                  << " without a token: anyone who reaches it can read the sales" << std::endl;
    if (!loopback && !options.token.empty() && !tls)
        std::cerr << "krt-appserver: warning: listening on " << options.listen
                  << " without TLS: the token and the sales cross the network in clear text"
                  << " (serve with --tls-cert and --tls-key)" << std::endl;
    AppServer server(options);
    server.bind();
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::cerr << "krt-appserver: stopping on signal " << signal << std::endl;
        server.stop();
    });
    std::cerr << "krt-appserver: serving " << dotz::wire::kObjectName << " on "
              << (tls ? "https://" : "http://") << options.listen << ":" << server.port()
              << dotz::wire::kPathPrefix << dotz::wire::kObjectName << " from "
              << connectionText(options.db) << (options.token.empty() ? "" : " (token required)")
              << std::endl;
    server.run();
    waiter.join();
    std::cerr << "krt-appserver: stopped" << std::endl;
    return 0;
}

// The [appserver] section of the settings file, under the flags: a flag given
// on the command line wins. An SQLite path is taken from the file's folder.
void applySettings(const CLI::App& cmd, const std::string& file, ServerOptions& o)
{
    const dotz::Settings s = dotz::Settings::load(file);
    const auto unset = [&cmd](const char* flag) { return cmd.count(flag) == 0; };
    if (const auto db = s.value("appserver", "db"); db && unset("--db")) {
        const std::filesystem::path path(*db);
        o.db = isPostgres(*db) || path.is_absolute()
                   ? *db
                   : (std::filesystem::path(file).parent_path() / path).string();
    }
    if (const auto listen = s.value("appserver", "listen"); listen && unset("--listen"))
        o.listen = *listen;
    if (s.value("appserver", "port") && unset("--port"))
        o.port = s.port("appserver");
    if (const auto token = s.value("appserver", "token");
        token && unset("--token") && unset("--token-file"))
        o.token = *token;
    if (const auto token = s.value("appserver", "metrics_token"); token && unset("--metrics-token"))
        o.metricsToken = *token;
    if (unset("--tls-cert")) {
        o.tlsCert = s.value("appserver", "tls_cert").value_or("");
        o.tlsKey = s.value("appserver", "tls_key").value_or("");
        if (o.tlsCert.empty() != o.tlsKey.empty())
            throw dotz::Error("settings file " + file +
                              ": [appserver] tls_cert and tls_key go together");
    }
}

// CLI11 would quote unexpected arguments, and a connection string with an
// unquoted space arrives as several: its password would be printed.
int refuseExtras(const std::vector<std::string>& extra)
{
    std::string shown;
    size_t hidden = 0;
    for (const std::string& a : extra) {
        if (a.starts_with('-') && a.find('=') == std::string::npos)
            shown += " " + a;
        else
            ++hidden;
    }
    std::cerr << "krt-appserver: unexpected arguments:" << shown;
    if (hidden)
        std::cerr << (shown.empty() ? " " : " and ") << hidden
                  << " not shown (they may be pieces of a connection string: quote one that "
                     "holds spaces)";
    std::cerr << "; see --help" << std::endl;
    return 2;
}

// A connection string libpq could misread is refused before anything uses it.
bool connectionStringOk(const std::string& db)
{
    try {
        checkConnectionString(db);
        return true;
    } catch (const dotz::Error& e) {
        std::cerr << "krt-appserver: --db: " << e.what() << std::endl;
        return false;
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Application server of the DOTZ export (object " +
                     std::string(dotz::wire::kObjectName) + ")",
                 "krt-appserver"};
    app.set_version_flag("--version", "krt-appserver " KRT_VERSION);
    app.require_subcommand(1);

    ServerOptions serveOptions;
    auto* serveCmd = app.add_subcommand(
        "serve", "Serve " + std::string(dotz::wire::kMethodGetPrincipal) + " over HTTP/JSON-RPC");
    std::string configFile;
    serveCmd->add_option(
        "--config", configFile,
        "Settings file: its [appserver] section gives db, listen, port, "
        "token, metrics_token, tls_cert and tls_key under these flags (default: $KRT_CONFIG, else "
        "~/.config/krt/krt.ini, else /etc/krt/krt.ini)");
    serveCmd->add_option(
        "--db", serveOptions.db,
        "SQLite file, or PostgreSQL as a postgresql:// URI or libpq keyword=value pairs (a text "
        "with '=' is one); required here or in the settings. Keep a password out of it: ~/.pgpass, "
        "a service file, or [appserver] db in a settings file only the server's user reads");
    serveCmd->add_option("--listen", serveOptions.listen, "Address to listen on")
        ->capture_default_str();
    serveCmd->add_option("--port", serveOptions.port, "Port to listen on")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    auto* tokenOpt = serveCmd->add_option("--token", serveOptions.token,
                                          "Require 'Authorization: Bearer TOKEN' on every request");
    serveCmd->add_option("--metrics-token", serveOptions.metricsToken,
                         "Token that GET /metrics needs from another machine (the one of "
                         "--token serves too; from this machine none is needed)");
    std::string tokenFile;
    serveCmd
        ->add_option(
            "--token-file", tokenFile,
            "Read the token from the first line of FILE (keeps it out of the process list)")
        ->excludes(tokenOpt)
        ->check(CLI::ExistingFile);
    serveCmd->add_option("--max-body", serveOptions.maxBody, "Largest request body, in bytes")
        ->capture_default_str()
        ->check(CLI::Range(1024, 64 * 1024 * 1024));
    auto* certOpt = serveCmd->add_option("--tls-cert", serveOptions.tlsCert,
                                         "Serve HTTPS only, with this PEM certificate (chain)");
    serveCmd->add_option("--tls-key", serveOptions.tlsKey, "PEM private key of --tls-cert")
        ->needs(certOpt);
    certOpt->needs(serveCmd->get_option("--tls-key"));
    serveCmd
        ->add_option("--max-per-address", serveOptions.maxConnectionsPerAddress,
                     "Most connections open at once from one client address")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));

    serveCmd
        ->add_option("--max-calls", serveOptions.callsAtOnce,
                     "Most calls in progress at once, each with a database connection and two "
                     "threads (more wait their turn)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    serveCmd
        ->add_option("--max-calls-per-address", serveOptions.maxCallsPerAddress,
                     "Most calls in progress from one client address (more get 429)")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    serveCmd
        ->add_option("--spool-dir", serveOptions.spoolDir,
                     "Folder of the temporary files that hold replies waiting for slow peers "
                     "(default: the system's temporary folder)")
        ->check(CLI::ExistingDirectory);
    serveCmd
        ->add_option("--max-spool", serveOptions.maxSpool,
                     "Most bytes that all waiting replies may hold, memory and disk (more get 503)")
        ->capture_default_str()
        ->check(CLI::Range(size_t{1} << 20, std::numeric_limits<size_t>::max()));
    serveCmd
        ->add_option("--spool-memory", serveOptions.spoolMemory,
                     "Bytes of each reply held in memory while its peer reads; the rest waits "
                     "in a file under --spool-dir (at most --max-spool)")
        ->capture_default_str()
        ->check(CLI::Range(size_t{64} << 10, size_t{1} << 30));
    serveCmd
        ->add_option("--min-send-rate", serveOptions.minSendRate,
                     "Bytes a second a peer must take of a reply, on average over 30 s, or be "
                     "cut off")
        ->capture_default_str()
        ->check(CLI::Range(size_t{1}, size_t{1} << 30));

    std::string demoDb;
    DemoOptions demo;
    auto* demoCmd = app.add_subcommand("init-demo", "Create the schema and fill it with demo data");
    demoCmd
        ->add_option("--db", demoDb,
                     "SQLite file (created), or PostgreSQL as a postgresql:// URI or libpq "
                     "keyword=value pairs")
        ->required();
    demoCmd->add_option("--seed", demo.seed, "Seed of the data")->capture_default_str();
    demoCmd->add_option("--branches", demo.branches, "Number of branches")->capture_default_str();
    demoCmd->add_option("--tills", demo.tills, "Tills per branch")->capture_default_str();
    demoCmd->add_option("--first-day", demo.firstDay, "First day, YYYY-MM-DD")
        ->capture_default_str();
    demoCmd->add_option("--days", demo.days, "Number of days")->capture_default_str();
    demoCmd
        ->add_option("--sales-per-day", demo.salesPerDay,
                     "Sales with a DOTZ customer per day, all branches together")
        ->capture_default_str();

    serveCmd->allow_extras();
    demoCmd->allow_extras();

    CLI11_PARSE(app, argc, argv);
    if (const auto extra = app.remaining(true); !extra.empty())
        return refuseExtras(extra);

    try {
        if (*serveCmd) {
            const std::string settings = dotz::Settings::locate(configFile);
            if (settings.empty()) {
                std::cerr << "krt-appserver: no settings file (looked at "
                          << dotz::Settings::lookupText() << ")" << std::endl;
            } else {
                std::cerr << "krt-appserver: settings from " << settings << std::endl;
                applySettings(*serveCmd, settings, serveOptions);
            }
            if (serveOptions.db.empty()) {
                std::cerr << "krt-appserver: no database: give --db or [appserver] db in the "
                             "settings file"
                          << std::endl;
                return 2;
            }
            if (!connectionStringOk(serveOptions.db))
                return 2;
            // The budget never refuses a reply's memory part, so one reply's
            // memory must fit in the budget.
            if (serveOptions.spoolMemory > serveOptions.maxSpool) {
                std::cerr << "krt-appserver: --spool-memory " << serveOptions.spoolMemory
                          << " is above --max-spool " << serveOptions.maxSpool << std::endl;
                return 2;
            }
            if (!tokenFile.empty()) {
                std::ifstream in(tokenFile);
                if (!in || !std::getline(in, serveOptions.token) || serveOptions.token.empty())
                    throw dotz::Error("token file " + tokenFile +
                                      " holds no token on its first line");
            }
            // Every user of the machine reads the command line (ps, /proc): said
            // once rather than hidden by overwriting argv, which ps has shown by then.
            if (serveCmd->count("--db") && holdsPassword(serveOptions.db))
                std::cerr << "krt-appserver: warning: --db holds a password, which ps shows to "
                             "every user of this machine: keep it in a password file (~/.pgpass, "
                             "PGPASSFILE) or a service file (service=, PGSERVICE), see the README"
                          << std::endl;
            serveOptions.log = &std::cout;
            return serve(serveOptions);
        }
        if (!connectionStringOk(demoDb))
            return 2;
        auto store = openStore(demoDb, OpenOptions{.readOnly = false, .create = true});
        demo.progress = [](const std::string& line) { std::cerr << line << '\n'; };
        const DemoSummary s = initDemo(*store, demo);
        std::cout << "demo data in " << store->describe() << ": " << s.branches << " branches, "
                  << s.products << " products, " << s.dotzSales << " DOTZ sales and "
                  << s.otherSales << " other sales, " << s.extraItems
                  << " items with extra points and " << s.plainItems << " without, "
                  << s.promotionProducts << " promotion products on the first day\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "krt-appserver: " << oneLine(e.what()) << '\n';
        return 1;
    }
}
