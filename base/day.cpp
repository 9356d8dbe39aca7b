#include "day.h"

#include <charconv>
#include <cstdio>

namespace dotz {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm).
constexpr int64_t daysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Ymd
{
    int y;
    int m;
    int d;
};

constexpr Ymd civilFromDays(int64_t z)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

// The platform's day 0.
constexpr int64_t kEpoch = daysFromCivil(1899, 12, 30);

bool readInt(std::string_view s, int& v)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

} // namespace

std::optional<Day> Day::fromYmd(int year, int month, int day)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return std::nullopt;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int last = month == 2 && leap ? 29 : kDays[month - 1];
    if (day > last)
        return std::nullopt;
    return fromSerial(static_cast<int32_t>(
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch));
}

std::optional<Day> Day::parse(std::string_view t)
{
    int y, m, d;
    if (t.size() == 10 && t[4] == '-' && t[7] == '-' && readInt(t.substr(0, 4), y) &&
        readInt(t.substr(5, 2), m) && readInt(t.substr(8, 2), d))
        return fromYmd(y, m, d);
    if (t.size() == 10 && t[2] == '/' && t[5] == '/' && readInt(t.substr(0, 2), d) &&
        readInt(t.substr(3, 2), m) && readInt(t.substr(6, 4), y))
        return fromYmd(y, m, d);
    return std::nullopt;
}

int Day::year() const
{
    return civilFromDays(serial_ + kEpoch).y;
}
int Day::month() const
{
    return civilFromDays(serial_ + kEpoch).m;
}
int Day::day() const
{
    return civilFromDays(serial_ + kEpoch).d;
}

std::string Day::iso() const
{
    const Ymd c = civilFromDays(serial_ + kEpoch);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.y, c.m, c.d);
    return buf;
}

std::string Day::compact() const
{
    const Ymd c = civilFromDays(serial_ + kEpoch);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", c.y, c.m, c.d);
    return buf;
}

std::string Day::regional() const
{
    const Ymd c = civilFromDays(serial_ + kEpoch);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", c.d, c.m, c.y);
    return buf;
}

} // namespace dotz
