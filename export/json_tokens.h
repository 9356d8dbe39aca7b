#pragma once
// The tokens of a packet's values read straight from their bytes, where the
// server writes them plainly: what a text's raw bytes hold, its unescaping,
// where it closes, and a number's value. For the packet loader only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dotz::json_tokens {

// What the raw bytes of a string hold (scanRaw): a backslash, a byte below 0x20,
// a byte above 0x7F. The string must lie in a buffer readable 7 bytes past its
// end (the decoder's padding).
constexpr unsigned kEscape = 1, kControl = 2, kHigh = 4;
unsigned scanRaw(std::string_view s);

// The hundredths of a number token written as a plain decimal of at most two
// decimals; nothing for any other form (the decoder's to read).
std::optional<int32_t> plainHundredths(std::string_view tok);

// A number token in JSON's own form, to the nearest double as the decoder reads
// it; false for anything else, and for what is out of range.
bool plainDouble(std::string_view tok, double& d);

// Where the string opened just before `p` closes: its first quote not escaped.
const char* closingQuote(const char* p, const char* end);

// A text's bytes with JSON's escapes but \u undone, into `out`; false at any other.
bool unescapePlain(std::string_view raw, std::string& out);

} // namespace dotz::json_tokens
