#include "principal_object.h"

#include "principal.h"

#include "appserver/rpc/failure_text.h"

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
    auto reply = std::make_shared<PendingReply>(
        std::make_shared<Spool>(spooling_.budget, spooling_.dir, spooling_.memory));
    c->await(reply);
    // The network keeps running until the query ends: its reply is still to go out.
    queries_.submit([this, reply, id = r.id, note = c->note.id, selector = std::move(selector), day,
                     work = boost::asio::make_work_guard(network_)] {
        produce(*reply, id, note, selector, day);
    });
}

// The reply is produced into a spool while the session sends it: a day can be
// hundreds of MB. One that ends within the hold-back goes out whole, with its
// length; until then a failure is still answered with ok:false.
void PrincipalObject::produce(PendingReply& reply, const std::string& id, std::uint64_t note,
                              const BranchSelector& selector, const std::string& day)
{
    bool finishing = false;
    std::string whole;      // the reply when its one piece is also its last
    bool streaming = false; // the session sends the body as it comes
    Spool& spool = reply.spool();
    std::string detail;
    JsonOut out(
        [&](std::string_view piece) {
            if (streaming)
                return spool.put(piece);
            if (finishing) {
                whole.assign(piece);
                return;
            }
            reply.stream(piece);
            streaming = true;
        },
        256 * 1024, spooling_.holdBack);
    PrincipalCounts counts;
    std::optional<StorePool::Lease> lease;
    const auto sent = [&] { return " after " + std::to_string(spool.total()) + " bytes"; };
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
        if (!streaming) {
            const std::string bytes = " bytes=" + std::to_string(whole.size());
            return reply.answer({.body = std::move(whole), .detail = detail + bytes});
        }
        spool.finish(detail + " bytes=" + std::to_string(spool.total()));
    } catch (const SpoolGone&) {
        if (lease)
            lease->discard(); // the session has logged why
    } catch (const SpoolFull&) {
        if (lease)
            lease->discard();
        if (!streaming) {
            return reply.answer({.status = 503,
                                 .body = resultBody(id, failureEnvelope(busyText(note))),
                                 .extra = {.retryAfter = spooling_.retryAfter},
                                 .detail = " refused: the spool budget is spent",
                                 .outcome = ServerMetrics::Outcome::Refused});
        }
        spool.fail(" broken off" + sent() + ": the spool budget is spent");
    } catch (const std::exception& e) {
        if (lease)
            lease->discard();
        metrics_.failed(e);
        if (!streaming) {
            // Nothing has left yet: the module gets the failure as ok:false.
            return reply.answer({.body = resultBody(id, failureEnvelope(operatorText(e, note),
                                                                        anotherServerMayAnswer(e))),
                                 .detail = " refused: " + logDetail(e, stores_.db()),
                                 .outcome = ServerMetrics::Outcome::Refused});
        }
        spool.fail(" broken off" + sent() + ": " + logDetail(e, stores_.db()));
    }
}

} // namespace dotz::appserver
