#pragma once
// The branch list text: each code in single quotes, a quote inside a code doubled,
// joined by ",". The picker writes and reads it, the run sends it, the server
// parses it; "'T'" is the one branch T, never "all".
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

std::string branchListText(const std::vector<std::string>& codes);

// Codes as a person types them, joined by "," and without quotes ("0001,0002"):
// each code as it stands, empty ones included. An empty text is one empty code.
std::vector<std::string> splitPlainCodes(std::string_view text);

struct BranchListCode
{
    std::string code;
    size_t at = 0; // byte offset of its opening quote
};

// A list text read back. Codes come in the order given, empty and repeated ones
// included: what they may be is the reader's business. On a fault, `codes` holds
// those read before it.
struct BranchListReading
{
    enum class Fault {
        None,
        QuoteExpected, // at: where a code's opening quote should be
        Unclosed,      // at: the opening quote never closed
        CommaExpected, // at: what follows a closed code instead of "," or the end
        TrailingComma, // at: the final ","
    };
    std::vector<BranchListCode> codes;
    Fault fault = Fault::None;
    size_t at = 0;
};

// An empty text is an empty list.
BranchListReading readBranchList(std::string_view text);

} // namespace dotz
