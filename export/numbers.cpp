#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace dotz {
namespace {

// The value at 15 significant digits: digits d[0..14] and the exponent of d[0].
struct Decimal15
{
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

char* put(char* out, const char* s, size_t n)
{
    std::memcpy(out, s, n);
    return out + n;
}

char* putInteger(char* out, long long v)
{
    return std::to_chars(out, out + 24, v).ptr;
}

constexpr double kPow10[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};

// Common values have few decimals: when v is the double nearest to k / 10^d for a
// k of at most 15 digits, its 15-digit decimal form is exactly k / 10^d.
bool fewDecimals(double v, int d, long long& k)
{
    const double scaled = std::nearbyint(v * kPow10[d]);
    if (std::abs(scaled) >= 1e15)
        return false;
    k = static_cast<long long>(scaled);
    return static_cast<double>(k) / kPow10[d] == v;
}

// Writes u / 10^D with D decimals: the whole part, then the decimals from the
// right. D fixed, so that its divisions are multiplications.
template <int D> char* putFixedAs(char* out, unsigned long long u, char point)
{
    constexpr unsigned long long kScale = [] {
        unsigned long long s = 1;
        for (int i = 0; i < D; ++i)
            s *= 10;
        return s;
    }();
    out = std::to_chars(out, out + 24, u / kScale).ptr;
    *out++ = point;
    unsigned long long rest = u % kScale;
    for (int i = D; i > 0; --i, rest /= 10)
        out[i - 1] = static_cast<char>('0' + rest % 10);
    return out + D;
}

// Writes |k| / 10^d with `d` (1 to 6) decimals: "0,05" for k = 5, d = 2.
char* putFixed(char* out, long long k, int d, char point)
{
    const unsigned long long u =
        k < 0 ? 0ull - static_cast<unsigned long long>(k) : static_cast<unsigned long long>(k);
    switch (d) {
    case 1:
        return putFixedAs<1>(out, u, point);
    case 2:
        return putFixedAs<2>(out, u, point);
    case 3:
        return putFixedAs<3>(out, u, point);
    case 4:
        return putFixedAs<4>(out, u, point);
    case 5:
        return putFixedAs<5>(out, u, point);
    default:
        return putFixedAs<6>(out, u, point);
    }
}

} // namespace

char* putGeneralText(char* out, double value)
{
    if (std::isnan(value))
        return put(out, "NAN", 3);
    if (std::isinf(value))
        return value < 0 ? put(out, "-INF", 4) : put(out, "INF", 3);
    if (value == 0) {
        *out++ = '0';
        return out;
    }
    const double mag = std::abs(value);
    if (mag < 1e15 && value == std::trunc(value))
        return putInteger(out, static_cast<long long>(value));
    if (mag >= 1e-4 && mag < 1e15) {
        long long k;
        for (int d = 1; d <= 6; ++d) {
            if (fewDecimals(value, d, k)) {
                while (k % 10 == 0) { // trailing zeros are dropped
                    k /= 10;
                    --d;
                }
                if (value < 0)
                    *out++ = '-';
                return putFixed(out, k, d, ',');
            }
        }
    }
    const Decimal15 d = toDecimal15(value);
    int last = 14;
    while (last > 0 && d.digits[last] == '0')
        --last;
    if (d.negative)
        *out++ = '-';
    if (d.exponent < -5 || d.exponent >= 15) {
        *out++ = d.digits[0];
        if (last > 0) {
            *out++ = ',';
            out = put(out, d.digits + 1, static_cast<size_t>(last));
        }
        *out++ = 'E';
        return putInteger(out, d.exponent);
    }
    if (d.exponent < 0) {
        *out++ = '0';
        *out++ = ',';
        for (int i = 0; i < -d.exponent - 1; ++i)
            *out++ = '0';
        return put(out, d.digits, static_cast<size_t>(last + 1));
    }
    out = put(out, d.digits, static_cast<size_t>(d.exponent + 1));
    if (last > d.exponent) {
        *out++ = ',';
        out = put(out, d.digits + d.exponent + 1, static_cast<size_t>(last - d.exponent));
    }
    return out;
}

char* putAmountText(char* out, double value)
{
    if (!std::isfinite(value))
        return putGeneralText(out, value);
    long long k;
    if (std::abs(value) < 1e13 && fewDecimals(value, 2, k)) {
        if (k < 0)
            *out++ = '-';
        return putFixed(out, k, 2, '.');
    }
    // Hundredths as decimal digits: the 15-digit value's digits up to the second
    // decimal, rounded on the next digit, half away from zero.
    char cents[320];
    size_t n = 0;
    bool negative = false;
    if (value != 0) {
        const Decimal15 d = toDecimal15(value);
        negative = d.negative;
        const int keep = d.exponent + 3; // digits before the rounding digit
        for (int i = 0; i < keep; ++i)
            cents[n++] = i < 15 ? d.digits[i] : '0';
        if (keep >= 0 && keep < 15 && d.digits[keep] >= '5') {
            size_t i = n;
            for (; i > 0 && cents[i - 1] == '9'; --i)
                cents[i - 1] = '0';
            if (i > 0) {
                ++cents[i - 1];
            } else {
                std::memmove(cents + 1, cents, n++);
                cents[0] = '1';
            }
        }
    }
    bool zero = true;
    for (size_t i = 0; i < n; ++i)
        zero = zero && cents[i] == '0';
    if (n < 3) {
        std::memmove(cents + 3 - n, cents, n);
        std::memset(cents, '0', 3 - n);
        n = 3;
    }
    if (negative && !zero) // never "-0.00"
        *out++ = '-';
    out = put(out, cents, n - 2);
    *out++ = '.';
    return put(out, cents + n - 2, 2);
}

// As putGeneralText and putAmountText write h / 100: the same integer, or the
// same decimals without their trailing zeros, or always two.
char* putGeneralHundredths(char* out, int32_t hundredths)
{
    if (hundredths % 100 == 0)
        return putInteger(out, hundredths / 100);
    const bool tenths = hundredths % 10 == 0;
    if (hundredths < 0)
        *out++ = '-';
    return putFixed(out, tenths ? hundredths / 10 : hundredths, tenths ? 1 : 2, ',');
}

char* putAmountHundredths(char* out, int32_t hundredths)
{
    if (hundredths < 0)
        *out++ = '-';
    return putFixed(out, hundredths, 2, '.');
}

std::string generalText(double value)
{
    char buf[kMaxNumberText];
    return {buf, putGeneralText(buf, value)};
}

std::string amountText(double value)
{
    char buf[kMaxNumberText];
    return {buf, putAmountText(buf, value)};
}

} // namespace dotz
