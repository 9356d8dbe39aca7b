#include "selector.h"

#include "export/cp1252.h"
#include "export/error.h"

#include <algorithm>

namespace dotz::appserver {
namespace {

constexpr size_t kMaxCodeLength = 4; // CDFILIAL is text(4)

} // namespace

std::string quoteForMessage(std::string_view text)
{
    constexpr size_t kShown = 120;
    std::string out = "\"";
    const std::string_view shown = text.substr(0, kShown);
    for (char c : shown) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            static const char* hex = "0123456789ABCDEF";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
    if (text.size() > kShown)
        out += " (cut here; " + std::to_string(text.size()) + " bytes in all)";
    return out;
}

BranchSelector parseSelector(std::string_view text)
{
    auto fail = [&](const std::string& why) -> BranchSelector {
        throw Error("branch selector " + quoteForMessage(text) +
                    " is neither T nor a list of quoted branch codes like '0001','0002': " + why);
    };
    BranchSelector selector;
    if (text == "T") {
        selector.all = true;
        return selector;
    }
    if (text.empty())
        return fail("it is empty");
    size_t i = 0;
    while (true) {
        if (text[i] != '\'')
            return fail("expected ' at character " + std::to_string(i + 1));
        const size_t start = i;
        ++i;
        std::string code;
        while (true) {
            if (i >= text.size())
                return fail("the quote opened at character " + std::to_string(start + 1) +
                            " is never closed");
            if (text[i] == '\'') {
                if (i + 1 < text.size() && text[i + 1] == '\'') {
                    code += '\'';
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            code += text[i++];
        }
        if (code.empty())
            return fail("empty branch code at character " + std::to_string(start + 1));
        if (cp1252::utf8Length(code) > kMaxCodeLength)
            return fail("branch code " + quoteForMessage(code) + " at character " +
                        std::to_string(start + 1) + " is longer than " +
                        std::to_string(kMaxCodeLength) + " characters");
        if (std::find(selector.codes.begin(), selector.codes.end(), code) == selector.codes.end())
            selector.codes.push_back(std::move(code));
        if (i == text.size())
            break;
        if (text[i] != ',')
            return fail("expected , or the end after the code closed at character " +
                        std::to_string(i));
        ++i;
        if (i == text.size())
            return fail("a code must follow the , at the end");
    }
    return selector;
}

bool isIsoDay(std::string_view t)
{
    if (t.size() != 10 || t[4] != '-' || t[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (t[i] < '0' || t[i] > '9')
            return false;
    auto num = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t k = at; k < at + n; ++k)
            v = v * 10 + (t[k] - '0');
        return v;
    };
    const int year = num(0, 4), month = num(5, 2), day = num(8, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1)
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

} // namespace dotz::appserver
