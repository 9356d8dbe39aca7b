#include "metrics_file.h"

#include "base/error.h"
#include "export/file_system.h"

#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {
namespace {

namespace pm = prometheus;

// Do not change these names: alert rules and dashboards use them.
constexpr const char* kLastSuccess = "dotz_export_last_success_timestamp_seconds";
constexpr const char* kLastDay = "dotz_export_last_completed_day_timestamp_seconds";

// The file is ours and small; past this it is not read.
constexpr size_t kMaxBytes = 64 * 1024;

std::string readBounded(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    struct stat st
    {
    };
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(kMaxBytes + 1);
        size_t got = 0;
        for (ssize_t n;
             got < text.size() && ((n = ::read(fd, text.data() + got, text.size() - got)) > 0 ||
                                   (n < 0 && errno == EINTR));)
            got += n > 0 ? static_cast<size_t>(n) : 0;
        text.resize(got > kMaxBytes ? 0 : got);
    }
    ::close(fd);
    return text;
}

void gauge(pm::Registry& registry, const char* name, const char* help, double value)
{
    pm::BuildGauge().Name(name).Help(help).Register(registry).Add({}).Set(value);
}

} // namespace

double unixTime(Day day)
{
    constexpr int32_t kUnixEpoch = 25569; // 1970-01-01 counted from 1899-12-30
    return (static_cast<double>(day.serial()) - kUnixEpoch) * 86400;
}

CarriedFigures carriedFigures(const std::string& text)
{
    CarriedFigures carried;
    const auto value = [&text](std::string_view name) -> std::optional<double> {
        const std::string key = "\n" + std::string(name) + " ";
        const size_t at = ("\n" + text).find(key);
        if (at == std::string::npos)
            return std::nullopt;
        const size_t start = at + key.size() - 1;
        const size_t end = std::min(text.find('\n', start), text.size());
        double v = 0;
        const auto [ptr, ec] = std::from_chars(text.data() + start, text.data() + end, v);
        if (ec != std::errc() || ptr != text.data() + end || !std::isfinite(v) || v < 0)
            return std::nullopt;
        return v;
    };
    carried.lastSuccess = value(kLastSuccess);
    carried.lastDay = value(kLastDay);
    return carried;
}

std::string metricsText(const RunRecord& run, const CarriedFigures& before)
{
    pm::Registry registry;
    const bool success = run.exitCode == 0;
    std::optional<double> lastSuccess = success ? run.ended : before.lastSuccess;
    std::optional<double> lastDay = before.lastDay;
    if (run.lastDay && (!lastDay || unixTime(*run.lastDay) > *lastDay))
        lastDay = unixTime(*run.lastDay);
    if (lastSuccess)
        gauge(registry, kLastSuccess, "When a run last ended with its whole period exported",
              *lastSuccess);
    if (lastDay)
        gauge(registry, kLastDay, "Midnight UTC of the last day whose files are all written",
              *lastDay);
    gauge(registry, "dotz_export_last_run_timestamp_seconds", "When the last run ended", run.ended);
    gauge(registry, "dotz_export_last_run_duration_seconds", "How long the last run took",
          std::max(0.0, run.ended - run.started));
    gauge(registry, "dotz_export_last_run_success", "1 when the last run succeeded, else 0",
          success ? 1 : 0);
    gauge(registry, "dotz_export_last_run_exit_code",
          "Exit status of the last run: 1 failed, 2 usage error, 3 refused for good", run.exitCode);
    gauge(registry, "dotz_export_last_run_dates",
          "Days the last run completed (named dates: a \"days\" unit is not a base unit)",
          run.days);
    gauge(registry, "dotz_export_last_run_files", "DOTZ files the last run wrote",
          static_cast<double>(run.files));
    gauge(registry, "dotz_export_last_run_records", "Records in the files the last run wrote",
          static_cast<double>(run.records));
    if (run.lookedBack) {
        gauge(registry, "dotz_export_look_back_differing_files",
              "Files of days already exported that differ from, or are missing in, their "
              "folders, as the last run's look-back found them",
              static_cast<double>(run.lookBackFiles));
        gauge(registry, "dotz_export_look_back_differing_dates",
              "Days already exported with such files (named dates, as above)",
              static_cast<double>(run.lookBackDays));
        gauge(registry, "dotz_export_look_back_rewritten_files",
              "Files the last run's look-back wrote over (--rewrite-changed)",
              static_cast<double>(run.rewrittenFiles));
    }
    std::ostringstream out;
    pm::TextSerializer().Serialize(out, registry.Collect());
    return out.str();
}

void writeMetricsFile(const std::string& path, const RunRecord& run)
{
    const std::string text = metricsText(run, carriedFigures(readBounded(path)));
    try {
        PosixFileSystem fs;
        replaceDurably(fs, path, text);
    } catch (const Error& e) {
        throw Error(std::string("Não foi possível gravar o arquivo de métricas: ") + e.what());
    }
}

} // namespace dotz
