#pragma once
// The server's log: one line per request, and lines of its own, each stamped.
// A call's line also ends its figures.
#include "metrics.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace dotz::appserver {

// What the log line of a request says.
struct RequestNote
{
    std::uint64_t id = 0;
    std::chrono::steady_clock::time_point start;
    std::string method = "-";
    std::string path = "-";
    std::string detail;
    bool keepAlive = false;
    std::string call; // a server object's method: the label of its figures
    ServerMetrics::Outcome outcome = ServerMetrics::Outcome::Ok;
    const char* contentType = "application/json";
};

// The text with its control characters escaped (\n, \t, \xNN): a library's
// message may span lines, and a log line must stay one line.
std::string oneLine(std::string_view text);

// A line from beneath the server, where no log is at hand (libpq's notices): to
// the log of the newest server of this process, or stamped alike to stderr when
// none runs.
void logLine(std::string_view text);

class RequestLog
{
  public:
    RequestLog(std::ostream* out, ServerMetrics& metrics); // no lines when out is null
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;
    ServerMetrics& metrics() { return metrics_; }
    void line(const std::string& text);
    void request(const std::string& address, const RequestNote& note, unsigned status);

  private:
    std::ostream* out_;
    ServerMetrics& metrics_;
    std::mutex mutex_;
};

} // namespace dotz::appserver
