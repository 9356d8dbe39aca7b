#include "terminal.h"

#include "base/cp1252.h"
#include "base/shown_text.h"

#include <algorithm>
#include <langinfo.h>
#include <ostream>

namespace dotz {
namespace {

bool terminalIsLatin1()
{
    const std::string codeset = nl_langinfo(CODESET);
    return codeset == "ISO-8859-1" || codeset == "ISO-8859-15" || codeset == "CP1252";
}

} // namespace

std::string forTerminal(const std::string& utf8)
{
    std::string text = withoutControls(utf8);
    std::replace(text.begin(), text.end(), '\r', '\n');
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
