#pragma once
// The server object Krt52410.rdmExportaDotz: routing and the token, its method
// table and GetPrincipal, GET /health, and what the operator reads when a reply
// cannot be made. Runs on the session's strand; a call's query goes to the
// query pool and its reply into a spool that the session sends from.
#include "call_limit.h"
#include "exchange.h"
#include "health_probe.h"
#include "metrics.h"
#include "query_pool.h"
#include "rpc.h"
#include "selector.h"
#include "server_options.h"
#include "spool.h"
#include "store_pool.h"

#include <boost/asio/io_context.hpp>

#include <map>

namespace dotz::appserver {

class PrincipalObject
{
  public:
    PrincipalObject(const ServerOptions& options, boost::asio::io_context& ioc, StorePool& stores,
                    QueryPool& queries, SpoolBudget& spool, HealthProbe& health, CallLimit& calls,
                    ServerMetrics& metrics);

    void handle(const std::shared_ptr<Exchange>& c, const HttpRequest& req);

  private:
    using Method = void (PrincipalObject::*)(const std::shared_ptr<Exchange>&, const RpcRequest&);
    static const std::map<std::string, Method, std::less<>>& methods();

    void describe(Exchange& c, const std::string& name);
    void call(const std::shared_ptr<Exchange>& c, const std::string& name, const std::string& body);
    void getPrincipal(const std::shared_ptr<Exchange>& c, const RpcRequest& r);
    // On a query thread.
    void produce(const std::shared_ptr<Exchange>& c, const std::string& head,
                 const BranchSelector& selector, const std::string& day);
    void health(const std::shared_ptr<Exchange>& c);
    void serveMetrics(Exchange& c, const HttpRequest& req);
    std::string logDetail(const std::exception& e) const;

    const ServerOptions& options_;
    boost::asio::io_context& ioc_;
    StorePool& stores_;
    QueryPool& queries_;
    SpoolBudget& spool_;
    HealthProbe& health_;
    CallLimit& calls_;
    ServerMetrics& metrics_;
    std::string spoolDir_;
};

} // namespace dotz::appserver
