#pragma once
// The branch selector that GetPrincipal receives: "T" for every branch, or the
// branch picker's list text, each code in single quotes with a quote inside it
// doubled, joined by commas: '0001','0002'. Codes are only ever bound as query
// parameters, so the strict parse is about telling the operator what is wrong.
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

struct BranchSelector
{
    bool all = false;
    std::vector<std::string> codes; // distinct, in the order given
};

// Throws dotz::Error with a message that quotes the selector and says where it
// goes wrong.
BranchSelector parseSelector(std::string_view text);

// The text between double quotes for a message; very long texts are cut with a
// note of their length, control characters shown as \xNN.
std::string quoteForMessage(std::string_view text);

// Strict "YYYY-MM-DD" of a real calendar day.
bool isIsoDay(std::string_view text);

} // namespace dotz::appserver
