#include "shown_text.h"

namespace dotz {

std::string withoutControls(std::string_view utf8)
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
            text += static_cast<char>(b);
        else if (b < 0x20 || b == 0x7F || c1)
            text += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
        else
            text += static_cast<char>(b);
    }
    return text;
}

} // namespace dotz
