#include "request_log.h"

#include "base/shown_text.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>
#include <vector>

namespace dotz::appserver {
namespace {

// The logs of the servers running in this process, newest last (tests run
// several; a program runs one).
std::mutex logsMutex;
std::vector<RequestLog*> logs;

void writeStamped(std::ostream& out, std::string_view text)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    out << stamp << ' ' << oneLine(text) << '\n' << std::flush;
}

} // namespace

std::string oneLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const auto u = static_cast<unsigned char>(ch);
        if (u >= 0x20 && u != 0x7F)
            out += ch;
        else if (ch == '\n')
            out += "\\n";
        else if (ch == '\t')
            out += "\\t";
        else if (ch == '\r')
            out += "\\r";
        else
            appendHexEscaped(out, text.substr(i, 1), HexDigits::Upper);
    }
    return out;
}

void logLine(std::string_view text)
{
    std::lock_guard lock(logsMutex);
    if (!logs.empty())
        logs.back()->line(std::string(text));
    else
        writeStamped(std::cerr, text);
}

RequestLog::RequestLog(std::ostream* out, ServerMetrics& metrics) : out_(out), metrics_(metrics)
{
    if (!out_)
        return;
    std::lock_guard lock(logsMutex);
    logs.push_back(this);
}

RequestLog::~RequestLog()
{
    std::lock_guard lock(logsMutex);
    std::erase(logs, this);
}

void RequestLog::line(const std::string& text)
{
    if (!out_)
        return;
    std::lock_guard lock(mutex_);
    writeStamped(*out_, text);
}

void RequestLog::request(const std::string& address, const RequestNote& note, unsigned status)
{
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - note.start)
            .count();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f ms", ms);
    // The path comes percent-decoded: control characters must not split the line.
    std::string path;
    for (char ch : note.path) {
        const auto u = static_cast<unsigned char>(ch);
        path += u < 0x20 || u == 0x7F ? '?' : ch;
    }
    std::ostringstream text;
    text << address << " [" << note.id << "] " << note.method << ' ' << path << ' ' << status;
    if (!note.detail.empty())
        text << ' ' << note.detail;
    text << ' ' << took;
    line(text.str());
    if (!note.call.empty())
        metrics_.callEnded(note.call, note.outcome, ms / 1000);
}

} // namespace dotz::appserver
