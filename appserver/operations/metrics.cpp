#include "metrics.h"

#include "appserver/stores/store.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <atomic>
#include <mutex>
#include <sstream>

namespace dotz::appserver {

namespace pm = prometheus;

namespace {

const char* outcomeName(ServerMetrics::Outcome o)
{
    switch (o) {
    case ServerMetrics::Outcome::Ok:
        return "ok";
    case ServerMetrics::Outcome::Refused:
        return "refused";
    case ServerMetrics::Outcome::RpcError:
        return "rpc_error";
    case ServerMetrics::Outcome::BrokenOff:
        return "broken_off";
    }
    return "unknown";
}

} // namespace

struct ServerMetrics::Impl
{
    pm::Registry registry;
    pm::Family<pm::Counter>& calls =
        pm::BuildCounter()
            .Name("krt_appserver_calls_total")
            .Help("Calls of the server object's methods, by method and outcome")
            .Register(registry);
    // A day of a small store takes milliseconds, the big day of a chain minutes.
    pm::Family<pm::Histogram>& durations =
        pm::BuildHistogram()
            .Name("krt_appserver_call_duration_seconds")
            .Help("Time from a call's first byte read to its reply's last byte handed on")
            .Register(registry);
    pm::Counter& sent = pm::BuildCounter()
                            .Name("krt_appserver_sent_bytes_total")
                            .Help("Bytes of reply bodies sent")
                            .Register(registry)
                            .Add({});
    pm::Gauge& connections = pm::BuildGauge()
                                 .Name("krt_appserver_connections_open")
                                 .Help("Client connections open")
                                 .Register(registry)
                                 .Add({});
    pm::Gauge& inProgress = pm::BuildGauge()
                                .Name("krt_appserver_calls_in_progress")
                                .Help("Calls read and not yet answered to their end")
                                .Register(registry)
                                .Add({});
    pm::Counter& databaseErrors = pm::BuildCounter()
                                      .Name("krt_appserver_database_errors_total")
                                      .Help("Calls and health checks the database failed")
                                      .Register(registry)
                                      .Add({});
    std::once_flag spoolOnce;
    std::atomic<pm::Gauge*> spool{nullptr};
};

ServerMetrics::ServerMetrics() : impl_(std::make_unique<Impl>()) {}

ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::connectionOpened()
{
    impl_->connections.Increment();
}

void ServerMetrics::connectionClosed()
{
    impl_->connections.Decrement();
}

void ServerMetrics::callStarted()
{
    impl_->inProgress.Increment();
}

void ServerMetrics::callEnded(std::string_view method, Outcome outcome, double seconds)
{
    static const pm::Histogram::BucketBoundaries kBuckets = {
        0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600};
    impl_->inProgress.Decrement();
    const std::string m(method);
    impl_->calls.Add({{"method", m}, {"outcome", outcomeName(outcome)}}).Increment();
    impl_->durations.Add({{"method", m}}, kBuckets).Observe(seconds);
}

void ServerMetrics::bytesSent(size_t n)
{
    impl_->sent.Increment(static_cast<double>(n));
}

void ServerMetrics::failed(const std::exception& e)
{
    if (dynamic_cast<const DatabaseError*>(&e))
        impl_->databaseErrors.Increment();
}

void ServerMetrics::spoolInUse(size_t bytes)
{
    std::call_once(impl_->spoolOnce, [this] {
        impl_->spool = &pm::BuildGauge()
                            .Name("krt_appserver_spool_bytes")
                            .Help("Bytes of replies held in the spool, memory and disk")
                            .Register(impl_->registry)
                            .Add({});
    });
    impl_->spool.load()->Set(static_cast<double>(bytes));
}

std::string ServerMetrics::text() const
{
    std::ostringstream out;
    pm::TextSerializer().Serialize(out, impl_->registry.Collect());
    return out.str();
}

} // namespace dotz::appserver
