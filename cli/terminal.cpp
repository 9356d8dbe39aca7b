#include "terminal.h"

#include "export/cp1252.h"

#include <langinfo.h>
#include <ostream>

namespace dotz {
namespace {

bool terminalIsLatin1()
{
    const std::string codeset = nl_langinfo(CODESET);
    return codeset == "ISO-8859-1" || codeset == "ISO-8859-15" || codeset == "CP1252";
}

std::string withoutControls(const std::string& utf8)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto b = static_cast<unsigned char>(utf8[i]);
        const bool c1 = b == 0xC2 && i + 1 < utf8.size() &&
                        static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (c1)
            b = static_cast<unsigned char>(utf8[++i]);
        if (b == '\r' || b == '\n')
            text += '\n';
        else if (b < 0x20 || b == 0x7F || c1)
            text += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
        else
            text += static_cast<char>(b);
    }
    return text;
}

} // namespace

std::string forTerminal(const std::string& utf8)
{
    const std::string text = withoutControls(utf8);
    if (terminalIsLatin1()) {
        std::string out;
        if (!cp1252::appendFromUtf8(text, out))
            return out;
    }
    return text;
}

void say(std::ostream& out, const std::string& utf8)
{
    out << forTerminal(utf8) << std::endl;
}

std::string oneLine(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n')
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

std::string count(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace dotz
