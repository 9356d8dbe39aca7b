#include "shown_text.h"

namespace dotz {

void appendHexEscaped(std::string& out, std::string_view bytes, HexDigits digits)
{
    const char* hex = digits == HexDigits::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += {'\\', 'x', hex[b >> 4], hex[b & 0xF]};
    }
}

std::string withoutControls(std::string_view utf8, LineBreaks lineBreaks)
{
    std::string text;
    text.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        char c = utf8[i];
        const bool c1 = static_cast<unsigned char>(c) == 0xC2 && i + 1 < utf8.size() &&
                        static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (c1)
            c = utf8[++i];
        const auto b = static_cast<unsigned char>(c);
        const bool lineBreak = b == '\r' || b == '\n';
        if (c1 || b == 0x7F || (b < 0x20 && !(lineBreak && lineBreaks == LineBreaks::Keep)))
            appendHexEscaped(text, {&c, 1});
        else
            text += c;
    }
    return text;
}

} // namespace dotz
