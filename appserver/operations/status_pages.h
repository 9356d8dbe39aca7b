#pragma once
// GET /health and GET /metrics: how the server is, for those who watch it; no
// data of the sales. Who may read them is the router's to check.
#include "health_probe.h"
#include "metrics.h"

#include "appserver/network/exchange.h"
#include "appserver/network/spool.h"

#include <string>

namespace dotz::appserver {

// 200 when the database answers within the probe's deadline, else 503 with
// the operator's text. db: the database as given, kept out of the log line.
Handler healthPage(HealthProbe& probe, ServerMetrics& metrics, std::string db);
// The figures in Prometheus text, the spool's bytes in use among them.
Handler metricsPage(ServerMetrics& metrics, const SpoolBudget& spool);

} // namespace dotz::appserver
