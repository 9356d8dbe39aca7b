#include "branch_list.h"

#include <algorithm>

namespace dotz {

std::string branchListText(const std::vector<std::string>& codes)
{
    std::string text;
    for (const std::string& code : codes) {
        if (!text.empty())
            text += ',';
        text += '\'';
        for (char c : code) {
            if (c == '\'')
                text += '\'';
            text += c;
        }
        text += '\'';
    }
    return text;
}

std::vector<std::string> splitPlainCodes(std::string_view text)
{
    std::vector<std::string> codes;
    size_t start = 0;
    while (true) {
        const size_t comma = std::min(text.find(',', start), text.size());
        codes.emplace_back(text.substr(start, comma - start));
        if (comma == text.size())
            return codes;
        start = comma + 1;
    }
}

BranchListReading readBranchList(std::string_view text)
{
    using Fault = BranchListReading::Fault;
    BranchListReading list;
    auto fail = [&](Fault fault, size_t at) {
        list.fault = fault;
        list.at = at;
        return list;
    };
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '\'')
            return fail(Fault::QuoteExpected, i);
        BranchListCode code{{}, i++};
        for (;;) {
            if (i >= text.size())
                return fail(Fault::Unclosed, code.at);
            if (text[i] == '\'') {
                if (i + 1 < text.size() && text[i + 1] == '\'') {
                    code.code += '\'';
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            code.code += text[i++];
        }
        list.codes.push_back(std::move(code));
        if (i == text.size())
            break;
        if (text[i] != ',')
            return fail(Fault::CommaExpected, i);
        if (++i == text.size())
            return fail(Fault::TrailingComma, i - 1);
    }
    return list;
}

} // namespace dotz
