// Threads, and what runs on each:
// - The network threads (ioThreads, running the io_context) accept, read
//   requests, route them, answer /health, and send every reply, each connection
//   on its own strand. They never wait on the database, with one bounded
//   exception: /health's own check (HealthProbe), under a 1 s deadline and
//   one at a time, so that it answers even when every query thread is busy.
// - The query pool (QueryPool, two threads per call in progress) runs
//   GetPrincipal: one thread reads the database, the other encodes the reply
//   into the call's pending reply, which the session pulls from when it can
//   write. Neither ever waits on a peer, nor calls into a session: the spool
//   takes what the network has not sent yet, so the transaction and the pooled
//   database connection end at the database's pace. The reading threads take turns
//   (FairShare), a batch of rows at a time and least served first, so that
//   dozens of big days in progress do not hold up a small one.
// Nothing else: no thread per call or per connection.
#include "server.h"

#include "appserver/network/listener.h"
#include "appserver/network/spool.h"
#include "appserver/operations/health_probe.h"
#include "appserver/operations/metrics.h"
#include "appserver/operations/request_log.h"
#include "appserver/operations/status_pages.h"
#include "appserver/principal/principal_object.h"
#include "appserver/rpc/router.h"
#include "appserver/rpc/rpc.h"
#include "appserver/stores/query_pool.h"
#include "appserver/stores/store_pool.h"

#include "base/error.h"
#include "base/wire_contract.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl.hpp>

#include <filesystem>
#include <optional>
#include <thread>

namespace dotz::appserver {

namespace net = boost::asio;
namespace ssl = net::ssl;
namespace http = boost::beast::http;

namespace {

std::optional<ssl::context> loadTls(const ServerOptions& options)
{
    if (options.tlsCert.empty() != options.tlsKey.empty())
        throw Error("TLS needs both a certificate (--tls-cert) and its key (--tls-key)");
    if (options.tlsCert.empty())
        return std::nullopt;
    std::optional<ssl::context> tls(std::in_place, ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_compression |
                     ssl::context::single_dh_use);
    boost::system::error_code ec;
    tls->use_certificate_chain_file(options.tlsCert, ec);
    if (ec)
        throw Error("TLS certificate " + options.tlsCert + ": " + ec.message());
    tls->use_private_key_file(options.tlsKey, ssl::context::pem, ec);
    if (ec)
        throw Error("TLS key " + options.tlsKey + ": " + ec.message() +
                    " (is it the key of the certificate " + options.tlsCert + "?)");
    return tls;
}

// Fails at start rather than at the first request.
StorePool& checked(StorePool& pool)
{
    auto lease = pool.acquire();
    lease->query(kCountBranches, {}, [](const Row&) {});
    return pool;
}

std::string spoolDir(const ServerOptions& options)
{
    return options.spoolDir.empty() ? std::filesystem::temp_directory_path().string()
                                    : options.spoolDir;
}

} // namespace

struct AppServer::Impl
{
    explicit Impl(ServerOptions o)
        : options(std::move(o)), log(options.log, metrics), stores(checked(pool)),
          tls(loadTls(options)), principal(stores, queries,
                                           {budget, spoolDir(options), options.spoolMemory,
                                            options.holdBack, options.retryAfter},
                                           metrics, ioc),
          object(std::string(wire::kObjectName),
                 {{std::string(wire::kMethodGetPrincipal),
                   [this](const std::shared_ptr<Exchange>& c, const RpcRequest& r) {
                       principal.getPrincipal(c, r);
                   }}},
                 metrics),
          router(options.token, options.metricsToken, calls, options.retryAfter),
          listener(ioc, options, log, tls ? &*tls : nullptr, stopping,
                   [this](const std::shared_ptr<Exchange>& c, const HttpRequest& req) {
                       router.handle(c, req);
                   })
    {
        router.add("/health", {Access::Anyone,
                               "/health",
                               {{http::verb::get, healthPage(health, metrics, options.db)}}});
        router.add("/metrics",
                   {Access::Local, "/metrics", {{http::verb::get, metricsPage(metrics, budget)}}});
        router.add(std::string(wire::kPathPrefix) + std::string(wire::kObjectName),
                   {Access::Token,
                    "a server object",
                    {{http::verb::get, [this](const std::shared_ptr<Exchange>& c,
                                              const HttpRequest&) { object.describe(*c); }},
                     {http::verb::post,
                      [this](const std::shared_ptr<Exchange>& c, const HttpRequest& req) {
                          object.call(c, req.body());
                      },
                      true}}});
    }

    ServerOptions options;
    ServerMetrics metrics;
    RequestLog log;
    StorePool pool{options.db, OpenOptions{.readOnly = true}};
    StorePool& stores;
    SpoolBudget budget{options.maxSpool};
    HealthProbe health{options.db, options.healthDeadline};
    CallLimit calls{options.maxCallsPerAddress};
    std::atomic<bool> stopping{false};
    std::optional<ssl::context> tls;
    // Declared after what the sessions and the queries use, so that they end
    // first.
    net::io_context ioc;
    QueryPool queries{options.callsAtOnce, options.readers};
    PrincipalObject principal;
    RpcObject object;
    Router router;
    Listener listener;
};

AppServer::AppServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

AppServer::~AppServer() = default;

void AppServer::bind()
{
    impl_->listener.bind();
}

int AppServer::port() const
{
    return impl_->listener.port();
}

void AppServer::run()
{
    Impl& s = *impl_;
    s.listener.start();
    std::vector<std::thread> more;
    for (int i = 1; i < s.options.ioThreads; ++i)
        more.emplace_back([&s] { s.ioc.run(); });
    s.ioc.run();
    for (auto& t : more)
        t.join();
    s.queries.join();
}

size_t AppServer::spoolInUse() const
{
    return impl_->budget.used();
}

void AppServer::stop()
{
    impl_->stopping = true;
    impl_->listener.stop();
}

} // namespace dotz::appserver
