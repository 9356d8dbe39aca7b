#pragma once
// The tokens of a packet's values read straight from their bytes, where the
// server writes them plainly: what a text's raw bytes hold, its unescaping,
// where it closes, and a number's value. For the packet loader only.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dotz::json_tokens {

// The most bytes a reading here reads past the end it is given, never using
// them: the buffer must be readable that far.
constexpr size_t kReadsPast = 16;

// What the raw bytes of a string hold (scanRaw): a backslash, a byte below 0x20,
// a byte above 0x7F, a '|'. Reads up to 7 bytes past the string's end.
constexpr unsigned kEscape = 1, kControl = 2, kHigh = 4, kBar = 8;
unsigned scanRaw(std::string_view s);

// The string whose bytes start at `p` (after its opening quote): its closing
// quote, before `end`, and what its bytes hold as scanRaw says it; nullptr
// when it does not close before `end`. Reads up to kReadsPast bytes past the
// quote or `end`.
const char* plainString(const char* p, const char* end, unsigned& holds);

// The hundredths of a number token written as a plain decimal of at most two
// decimals; nothing for any other form (the decoder's to read).
std::optional<int32_t> plainHundredths(std::string_view tok);
// The same for the token that starts at `p` and ends with the ',' or ']' that
// follows it: where that is, or nullptr.
const char* plainHundredthsAt(const char* p, const char* end, int32_t& h);

// A number token in JSON's own form, to the nearest double as the decoder reads
// it; false for anything else, and for what is out of range.
bool plainDouble(std::string_view tok, double& d);

// Where the string opened just before `p` closes: its first quote not escaped.
const char* closingQuote(const char* p, const char* end);

// A text's bytes with JSON's escapes but \u undone, into `out`; false at any other.
bool unescapePlain(std::string_view raw, std::string& out);

} // namespace dotz::json_tokens
