#include "cp1252.h"

#include "error.h"
#include "shown_text.h"

#include <array>

namespace dotz::cp1252 {
namespace {

// Code points of bytes 0x80..0x9F; 0 marks the five bytes Windows-1252 leaves undefined.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

int byteFor(char32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<int>(cp);
    for (size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] != 0 && kHigh[i] == cp)
            return static_cast<int>(0x80 + i);
    return -1;
}

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 when malformed.
size_t decode(std::string_view s, size_t i, char32_t& cp)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

std::optional<size_t> convert(std::string_view utf8, std::string& out, const char* replacement)
{
    std::optional<size_t> first;
    size_t chars = 0;
    for (size_t i = 0; i < utf8.size(); ++chars) {
        char32_t cp;
        const size_t len = decode(utf8, i, cp);
        const int byte = len ? byteFor(cp) : -1;
        if (byte < 0) {
            if (!first)
                first = chars;
            if (!replacement)
                return first;
        }
        out.push_back(byte < 0 ? *replacement : static_cast<char>(byte));
        i += len ? len : 1;
    }
    return first;
}

} // namespace

std::optional<size_t> appendFromUtf8(std::string_view utf8, std::string& out)
{
    return convert(utf8, out, nullptr);
}

std::optional<size_t> appendFromUtf8Replacing(std::string_view utf8, std::string& out,
                                              char replacement)
{
    return convert(utf8, out, &replacement);
}

std::string fromUtf8(std::string_view utf8, std::string_view what)
{
    std::string out;
    out.reserve(utf8.size());
    if (auto bad = appendFromUtf8(utf8, out))
        throw Error(std::string(what) + ": o caractere " + std::to_string(*bad + 1) +
                    " não existe em Windows-1252");
    return out;
}

bool isControl(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0 && !kHigh[b - 0x80]);
}

std::string toUtf8Shown(std::string_view text)
{
    std::string shown;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isControl(text[i]))
            continue;
        shown += toUtf8(text.substr(start, i - start));
        appendHexEscaped(shown, text.substr(i, 1));
        start = i + 1;
    }
    return shown + toUtf8(text.substr(start));
}

std::string toUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        char32_t cp = b;
        if (b >= 0x80 && b < 0xA0)
            cp = kHigh[b - 0x80] ? kHigh[b - 0x80] : 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

size_t utf8Length(std::string_view utf8)
{
    size_t n = 0;
    for (char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
}

} // namespace dotz::cp1252
