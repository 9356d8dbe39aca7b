#include "json_tokens.h"

#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dotz::json_tokens {

// Eight bytes at a time: the last word is read whole and what lies past the
// string is masked off as a plain letter.
unsigned scanRaw(std::string_view s)
{
    constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = kOnes * 0x80;
    uint64_t high = 0, control = 0, escape = 0, bar = 0;
    for (size_t i = 0; i < s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (const size_t left = s.size() - i; left < 8) {
            const uint64_t keep = (uint64_t{1} << (8 * left)) - 1;
            w = (w & keep) | (kOnes * 'A' & ~keep);
        }
        high |= w;
        control |= (w - kOnes * 0x20) & ~w; // a byte below 0x20
        const uint64_t x = w ^ (kOnes * '\\');
        escape |= (x - kOnes) & ~x; // a byte equal to the backslash
        const uint64_t y = w ^ (kOnes * '|');
        bar |= (y - kOnes) & ~y;
    }
    return (escape & kHighs ? kEscape : 0) | (control & kHighs ? kControl : 0) |
           (high & kHighs ? kHigh : 0) | (bar & kHighs ? kBar : 0);
}

const char* plainString(const char* p, const char* end, unsigned& holds)
{
#if defined(__SSE2__)
    unsigned found = 0;
    const auto bits = [](__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); };
    while (p < end) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned stops = bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
        // Up to the first quote or backslash, or the whole block.
        const unsigned before = stops ? (stops & (0u - stops)) - 1 : 0xFFFFu;
        // Signed, below a space is a control byte or one past ASCII: rare, so
        // told apart only when there.
        const unsigned odd = before & bits(_mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('|'))));
        if (odd) {
            const __m128i low = _mm_set1_epi8(0x1F);
            found |= odd & bits(_mm_cmpeq_epi8(_mm_max_epu8(v, low), low)) ? kControl : 0;
            found |= odd & bits(v) ? kHigh : 0;
            found |= odd & bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('|'))) ? kBar : 0;
        }
        if (!stops) {
            p += 16;
            continue;
        }
        const char* at = p + __builtin_ctz(stops);
        if (at >= end)
            return nullptr;
        if (*at == '"') {
            holds = found;
            return at;
        }
        // The byte a backslash escapes is the unescaping's to judge.
        found |= kEscape;
        p = at + 2;
    }
    return nullptr;
#else
    const char* close = closingQuote(p, end);
    if (!close)
        return nullptr;
    holds = scanRaw(std::string_view(p, static_cast<size_t>(close - p)));
    return close;
#endif
}

namespace {

// The hundredths of the plain decimal at the start of [p, end): where it stops,
// or nullptr.
const char* hundredthsPrefix(const char* p, const char* end, int32_t& out)
{
    auto digit = [&] { return p < end && static_cast<unsigned>(*p - '0') < 10; };
    const bool negative = p < end && *p == '-';
    p += negative;
    if (!digit() || (*p == '0' && p + 1 < end && static_cast<unsigned>(p[1] - '0') < 10))
        return nullptr;
    int64_t h = 0;
    for (int n = 0; digit(); ++p)
        if (++n > 7) // keeps the hundredths below 10^9
            return nullptr;
        else
            h = h * 10 + (*p - '0');
    int decimals = 0;
    if (p < end && *p == '.') {
        ++p;
        for (; digit(); ++p, ++decimals)
            if (decimals == 2)
                return nullptr;
            else
                h = h * 10 + (*p - '0');
        if (decimals == 0)
            return nullptr;
    }
    for (; decimals < 2; ++decimals)
        h *= 10;
    if (h == 0 && negative)
        return nullptr;
    out = static_cast<int32_t>(negative ? -h : h);
    return p;
}

} // namespace

// Prices, quantities and points are written so. The quotient of the hundredths
// by 100 is the very double the decoder would give: both are the nearest one to
// the same value. -0 is left to the decoder, as its sign would be lost.
std::optional<int32_t> plainHundredths(std::string_view tok)
{
    const char* const end = tok.data() + tok.size();
    int32_t h = 0;
    const char* p = hundredthsPrefix(tok.data(), end, h);
    if (!p)
        return std::nullopt;
    for (; p < end; ++p) // what follows the token up to the next comma or bracket
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
            return std::nullopt;
    return h;
}

const char* plainHundredthsAt(const char* p, const char* end, int32_t& h)
{
    p = hundredthsPrefix(p, end, h);
    return p && p < end && (*p == ',' || *p == ']') ? p : nullptr;
}

// JSON's grammar first: from_chars takes forms that JSON does not (a leading
// zero, "inf"); both round to nearest.
bool plainDouble(std::string_view tok, double& d)
{
    const char* p = tok.data();
    const char* const end = p + tok.size();
    const auto digits = [&] {
        const char* from = p;
        while (p < end && static_cast<unsigned>(*p - '0') < 10)
            ++p;
        return p - from;
    };
    p += p < end && *p == '-';
    const char* const first = p;
    const auto whole = digits();
    if (whole == 0 || (whole > 1 && *first == '0'))
        return false;
    if (p < end && *p == '.') {
        ++p;
        if (digits() == 0)
            return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        p += p < end && (*p == '+' || *p == '-');
        if (digits() == 0)
            return false;
    }
    if (p != end)
        return false;
    const auto [at, error] = std::from_chars(tok.data(), end, d);
    return error == std::errc() && at == end && std::isfinite(d);
}

const char* closingQuote(const char* p, const char* end)
{
    while (const auto* q =
               static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)))) {
        size_t backslashes = 0;
        for (const char* b = q; b != p && b[-1] == '\\'; --b)
            ++backslashes;
        if (backslashes % 2 == 0)
            return q;
        p = q + 1;
    }
    return nullptr;
}

bool unescapePlain(std::string_view raw, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size())
            return false;
        switch (raw[i]) {
        case '"':
        case '\\':
        case '/':
            out += raw[i];
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        default:
            return false;
        }
    }
    return true;
}

} // namespace dotz::json_tokens
