#pragma once
// The metrics file a run of dotz-export leaves for node exporter's textfile
// collector: when it last succeeded, the last day it completed, and what this
// run did.
#include "base/day.h"

#include <cstddef>
#include <optional>
#include <string>

namespace dotz {

struct RunRecord
{
    double started = 0; // Unix time
    double ended = 0;
    int exitCode = 0;
    int days = 0; // completed by this run, days without points included
    size_t files = 0;
    size_t records = 0;
    std::optional<Day> lastDay; // the last day completed: the state's, else this run's
    // The look-back over days already exported, when it ran.
    bool lookedBack = false;
    size_t lookBackDays = 0;  // days with files that differ from those in place
    size_t lookBackFiles = 0; // such files, those not in place included
    size_t rewrittenFiles = 0;
};

// What a failed run keeps of the file before it: read from it, strictly.
struct CarriedFigures
{
    std::optional<double> lastSuccess;
    std::optional<double> lastDay;
};
CarriedFigures carriedFigures(const std::string& text);

// The Prometheus text of a run, carrying over the earlier success (and a later
// last day) from `before`.
std::string metricsText(const RunRecord& run, const CarriedFigures& before);

// Reads what the file holds (a missing, unreadable or foreign file carries
// nothing), and replaces it: a temporary flushed and renamed. Throws dotz::Error.
void writeMetricsFile(const std::string& path, const RunRecord& run);

// Midnight UTC of the day, the form Prometheus takes a date in.
double unixTime(Day day);

} // namespace dotz
