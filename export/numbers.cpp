#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace dotz {
namespace {

// The value at 15 significant digits: digits d[0..14] (no trailing zeros
// removed) and the exponent of d[0].
struct Decimal15 {
    bool negative = false;
    char digits[15];
    int exponent = 0;
};

Decimal15 toDecimal15(double value)
{
    Decimal15 d;
    char buf[40];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
    (void)ec; // 40 bytes always hold "-d.ddddddddddddddde-308"
    const char* p = buf;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    d.digits[0] = *p++;
    ++p; // the point
    for (int i = 1; i < 15; ++i)
        d.digits[i] = *p++;
    ++p; // 'e'
    std::from_chars(*p == '+' ? p + 1 : p, end, d.exponent);
    return d;
}

void appendInteger(std::string& out, long long v)
{
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    out.append(buf, end);
}

} // namespace

void appendGeneralText(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NAN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-INF" : "INF";
        return;
    }
    if (value == 0) {
        out += '0';
        return;
    }
    // Whole values below 1e15 are the common case: points, quantities.
    if (std::abs(value) < 1e15 && value == std::trunc(value)) {
        appendInteger(out, static_cast<long long>(value));
        return;
    }
    const Decimal15 d = toDecimal15(value);
    int last = 14;
    while (last > 0 && d.digits[last] == '0')
        --last;
    if (d.negative)
        out += '-';
    if (d.exponent < -5 || d.exponent >= 15) {
        out += d.digits[0];
        if (last > 0) {
            out += ',';
            out.append(d.digits + 1, static_cast<size_t>(last));
        }
        out += 'E';
        appendInteger(out, d.exponent);
    } else if (d.exponent < 0) {
        out += "0,";
        out.append(static_cast<size_t>(-d.exponent - 1), '0');
        out.append(d.digits, static_cast<size_t>(last + 1));
    } else {
        out.append(d.digits, static_cast<size_t>(d.exponent + 1));
        if (last > d.exponent) {
            out += ',';
            out.append(d.digits + d.exponent + 1, static_cast<size_t>(last - d.exponent));
        }
    }
}

std::string generalText(double value)
{
    std::string s;
    appendGeneralText(s, value);
    return s;
}

void appendAmountText(std::string& out, double value)
{
    if (!std::isfinite(value)) {
        appendGeneralText(out, value);
        return;
    }
    // Hundredths, as decimal digits: digits of the 15-digit value up to the second
    // decimal, then rounded on the next digit, half away from zero.
    std::string cents;
    bool negative = false;
    if (value != 0) {
        const Decimal15 d = toDecimal15(value);
        negative = d.negative;
        const int keep = d.exponent + 3; // digits before the rounding digit
        for (int i = 0; i < keep; ++i)
            cents += i < 15 ? d.digits[i] : '0';
        if (keep >= 0 && keep < 15 && d.digits[keep] >= '5') {
            int i = static_cast<int>(cents.size()) - 1;
            for (; i >= 0 && cents[static_cast<size_t>(i)] == '9'; --i)
                cents[static_cast<size_t>(i)] = '0';
            if (i >= 0)
                ++cents[static_cast<size_t>(i)];
            else
                cents.insert(cents.begin(), '1');
        }
    }
    if (cents.find_first_not_of('0') == std::string::npos)
        negative = false; // never "-0.00"
    if (cents.size() < 3)
        cents.insert(0, 3 - cents.size(), '0');
    if (negative)
        out += '-';
    out.append(cents, 0, cents.size() - 2);
    out += '.';
    out.append(cents, cents.size() - 2, 2);
}

std::string amountText(double value)
{
    std::string s;
    appendAmountText(s, value);
    return s;
}

} // namespace dotz
