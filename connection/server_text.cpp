#include "server_text.h"

#include "base/shown_text.h"

namespace dotz::server_text {
namespace {

bool continues(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

unsigned hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return static_cast<unsigned>((c | 0x20) - 'a' + 10);
    return 0; // no JSON: the decoder refuses the escape, which is kept as it came
}

} // namespace

std::string shown(std::string_view utf8)
{
    size_t kept = utf8.size();
    if (kept > kKept) {
        kept = kKept;
        while (kept > 0 && continues(utf8[kept]))
            --kept;
    }
    std::string out = withoutControls(utf8.substr(0, kept), LineBreaks::Escape);
    if (kept < utf8.size())
        out += " (texto do servidor cortado em " + std::to_string(kept) + " bytes)";
    return out;
}

bool StringCut::keep(char c)
{
    if (!inString_) {
        if (c == '"') {
            inString_ = true;
            skipping_ = escaped_ = awaitsLow_ = false;
            hexLeft_ = 0;
            length_ = 0;
        }
        return true;
    }
    if (skipping_) {
        // Only the closing quote is looked for.
        if (escaped_)
            escaped_ = false;
        else if (c == '\\')
            escaped_ = true;
        else if (c == '"')
            inString_ = false;
        return !inString_;
    }
    ++length_;
    if (escaped_) {
        escaped_ = false;
        if (c == 'u') {
            hexLeft_ = 4;
            code_ = 0;
        }
        return true;
    }
    if (hexLeft_ > 0) {
        code_ = code_ * 16 + hexValue(c);
        if (--hexLeft_ == 0)
            awaitsLow_ = code_ >= 0xD800 && code_ < 0xDC00;
        return true;
    }
    if (c == '"') {
        inString_ = false;
        return true;
    }
    // Here a character or an escape starts, unless the byte continues one.
    const bool between = !continues(c) && !(awaitsLow_ && c == '\\');
    awaitsLow_ = false;
    if (between && length_ > kKeptRaw) {
        skipping_ = true;
        escaped_ = c == '\\';
        return false;
    }
    escaped_ = c == '\\';
    return true;
}

} // namespace dotz::server_text
