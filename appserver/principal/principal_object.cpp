#include "principal_object.h"

#include "appserver/rpc/failure_text.h"
#include "principal.h"

#include "base/error.h"
#include "base/wire_contract.h"

#include <boost/asio/executor_work_guard.hpp>

#include <optional>

namespace dotz::appserver {

PrincipalObject::PrincipalObject(StorePool& stores, QueryPool& queries, ReplySpooling spooling,
                                 ServerMetrics& metrics, boost::asio::io_context& network)
    : stores_(stores), queries_(queries), spooling_(std::move(spooling)), metrics_(metrics),
      network_(network)
{
}

void PrincipalObject::getPrincipal(const std::shared_ptr<Exchange>& c, const RpcRequest& r)
{
    requireStrings(r, {"branch selector", "day"});
    const std::string& selectorText = *r.params[0];
    const std::string& day = *r.params[1];
    if (!isIsoDay(day))
        throw RpcError{kInvalidParams, "Invalid params: parameter 2 (day) " + quoteForMessage(day) +
                                           " is not a date in the form YYYY-MM-DD"};
    c->note.detail = std::string(wire::kMethodGetPrincipal) +
                     " selector=" + quoteForMessage(selectorText) + " day=" + day;
    BranchSelector selector;
    try {
        selector = parseSelector(selectorText);
    } catch (const Error& e) {
        c->note.detail += " refused: bad selector";
        c->note.outcome = ServerMetrics::Outcome::Refused;
        return c->reply(200, resultBody(r.id, failureEnvelope(e.what())));
    }
    // The network keeps running until the query ends: it may still reply.
    queries_.submit(
        [this, c, id = r.id, selector = std::move(selector), day,
         work = boost::asio::make_work_guard(network_)] { produce(c, id, selector, day); });
}

// The reply is produced into a spool while the session sends it: a day can be
// hundreds of MB. One that ends within the hold-back goes out whole, with its
// length; until then a failure is still answered with ok:false.
void PrincipalObject::produce(const std::shared_ptr<Exchange>& c, const std::string& id,
                              const BranchSelector& selector, const std::string& day)
{
    bool finishing = false;
    std::string whole; // the reply when its one piece is also its last
    // Once made, the session sends from it, and the note is the session's.
    std::shared_ptr<Spool> spool;
    std::string detail;
    JsonOut out(
        [&](std::string_view piece) {
            if (spool)
                return spool->put(piece);
            if (finishing) {
                whole.assign(piece);
                return;
            }
            auto first = std::make_shared<Spool>(spooling_.budget, spooling_.dir, spooling_.memory);
            first->put(piece);
            spool = std::move(first);
            c->sendSpooled(spool);
        },
        256 * 1024, spooling_.holdBack);
    PrincipalCounts counts;
    std::optional<StorePool::Lease> lease;
    const auto sent = [&] { return " after " + std::to_string(spool->total()) + " bytes"; };
    try {
        out.raw(resultHead(id));
        lease.emplace(stores_.acquire());
        writePrincipal(
            **lease, selector, day, out, counts,
            [this](std::function<void()> task) { queries_.helper(std::move(task)); },
            queries_.share());
        lease.reset(); // the transaction is over: the connection goes back at once
        out.raw(kResultEnd);
        finishing = true;
        out.finish();
        detail = " rows=";
        for (size_t slot = 0; slot < counts.rows.size(); ++slot)
            detail += (slot ? "/" : "") + std::to_string(counts.rows[slot]);
        if (!spool) {
            c->note.detail += detail + " bytes=" + std::to_string(whole.size());
            return c->reply(200, std::move(whole));
        }
        spool->finish(detail + " bytes=" + std::to_string(spool->total()));
    } catch (const SpoolGone&) {
        if (lease)
            lease->discard(); // the session has logged why
    } catch (const SpoolFull&) {
        if (lease)
            lease->discard();
        if (!spool) {
            c->note.detail += " refused: the spool budget is spent";
            c->note.outcome = ServerMetrics::Outcome::Refused;
            return c->reply(503, resultBody(id, failureEnvelope(busyText(c->note.id))),
                            {.retryAfter = spooling_.retryAfter});
        }
        spool->fail(" broken off" + sent() + ": the spool budget is spent");
    } catch (const std::exception& e) {
        if (lease)
            lease->discard();
        metrics_.failed(e);
        if (!spool) {
            // Nothing has left yet: the module gets the failure as ok:false.
            c->note.detail += " refused: " + logDetail(e, stores_.db());
            c->note.outcome = ServerMetrics::Outcome::Refused;
            return c->reply(200, resultBody(id, failureEnvelope(operatorText(e, c->note.id),
                                                                anotherServerMayAnswer(e))));
        }
        spool->fail(" broken off" + sent() + ": " + logDetail(e, stores_.db()));
    }
}

} // namespace dotz::appserver
