#pragma once
// The branch selector that GetPrincipal receives: wire::kAllBranches for every branch, or the
// branch picker's list text, each code in single quotes with a quote inside it
// doubled, joined by commas: '0001','0002'. Codes are only ever bound as query
// parameters, so the strict parse is about telling the operator what is wrong.
#include "base/day.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

struct BranchSelector
{
    bool all = false;
    std::vector<std::string> codes; // distinct, in the order given
};

// Throws dotz::Error with a message for the operator (Portuguese, UTF-8) that
// quotes the selector and says where it goes wrong.
BranchSelector parseSelector(std::string_view text);

// The text between double quotes for a message, always valid UTF-8 without
// control characters: those and malformed bytes are shown as \xNN, and a very
// long text is cut at a character with a note of its length.
std::string quoteForMessage(std::string_view text);

// Strict "YYYY-MM-DD" of a real calendar day, the one form the wire takes.
std::optional<Day> parseIsoDay(std::string_view text);
inline bool isIsoDay(std::string_view text)
{
    return parseIsoDay(text).has_value();
}

} // namespace dotz::appserver
