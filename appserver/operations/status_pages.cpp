#include "status_pages.h"

#include "appserver/rpc/failure_text.h"
#include "appserver/rpc/rpc.h"
#include "appserver/stores/store.h"

namespace dotz::appserver {

Handler healthPage(HealthProbe& probe, ServerMetrics& metrics, std::string db)
{
    return [&probe, &metrics, db = std::move(db)](const std::shared_ptr<Exchange>& c,
                                                  const HttpRequest&) {
        // The probe may answer on another session's thread.
        auto reply = std::make_shared<PendingReply>();
        c->await(reply);
        probe.probe([&metrics, db, reply, note = c->note.id](std::exception_ptr failure) {
            if (!failure)
                return reply->answer({.body = R"({"ok":true})"});
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                // The query is trivial: whatever fails, the database is what fails.
                const DatabaseError unavailable(DatabaseError::Kind::Unavailable, e.what());
                const auto* known = dynamic_cast<const DatabaseError*>(&e);
                metrics.failed(known ? *known : unavailable);
                reply->answer({.status = 503,
                               .body = failureEnvelope(operatorText(unavailable, note), true),
                               .detail = "unhealthy: " + logDetail(e, db)});
            }
        });
    };
}

Handler metricsPage(ServerMetrics& metrics, const SpoolBudget& spool)
{
    return [&metrics, &spool](const std::shared_ptr<Exchange>& c, const HttpRequest&) {
        c->note.contentType = ServerMetrics::kContentType;
        metrics.spoolInUse(spool.used());
        c->reply(200, metrics.text());
    };
}

} // namespace dotz::appserver
