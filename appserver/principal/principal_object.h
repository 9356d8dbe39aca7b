#pragma once
// The method GetPrincipal of the module's server object: its parameters
// checked, its query handed to the query pool, and its reply made into a
// pending reply that the session pulls from. Runs on the session's strand, the
// making on a query thread.
#include "selector.h"

#include "appserver/network/exchange.h"
#include "appserver/network/pending_reply.h"
#include "appserver/network/spool.h"
#include "appserver/operations/metrics.h"
#include "appserver/rpc/rpc.h"
#include "appserver/stores/query_pool.h"
#include "appserver/stores/store_pool.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace dotz::appserver {

// Where replies wait for their peers, and what is told when there is no room.
struct ReplySpooling
{
    SpoolBudget& budget;
    std::string dir; // of the spools' files
    size_t memory;   // of each spool, before its file
    size_t holdBack; // a reply below it goes out whole, so that a failure is still ok:false
    std::chrono::seconds retryAfter; // what a 503 tells the client to wait
};

class PrincipalObject
{
  public:
    // network: kept running while a call is in progress, so that its reply goes out.
    PrincipalObject(StorePool& stores, QueryPool& queries, ReplySpooling spooling,
                    ServerMetrics& metrics, boost::asio::io_context& network);

    // Hands c a pending reply that a query thread makes; throws RpcError on
    // bad parameters.
    void getPrincipal(const std::shared_ptr<Exchange>& c, const RpcRequest& r);

  private:
    // On a query thread.
    // note: the request's id in the log, which the operator's texts name.
    void produce(PendingReply& reply, const std::string& id, std::uint64_t note,
                 const BranchSelector& selector, const std::string& day);

    StorePool& stores_;
    QueryPool& queries_;
    ReplySpooling spooling_;
    ServerMetrics& metrics_;
    boost::asio::io_context& network_;
};

} // namespace dotz::appserver
