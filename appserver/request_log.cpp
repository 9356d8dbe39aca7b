#include "request_log.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace dotz::appserver {

std::string oneLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto u = static_cast<unsigned char>(ch);
        if (u >= 0x20 && u != 0x7F) {
            out += ch;
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch == '\r') {
            out += "\\r";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

void RequestLog::line(const std::string& text)
{
    if (!out_)
        return;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::lock_guard lock(mutex_);
    *out_ << stamp << ' ' << oneLine(text) << '\n' << std::flush;
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
