#include "selector.h"

#include "appserver/rpc/json_out.h"

#include "base/branch_list.h"
#include "base/cp1252.h"
#include "base/error.h"
#include "base/shown_text.h"
#include "base/wire_contract.h"

#include <unordered_set>

namespace dotz::appserver {
namespace {

constexpr size_t kMaxCodeLength = static_cast<size_t>(wire::kBranchCodeSize);
// Each code is bound as one query parameter, and the engines take some tens of
// thousands at most; no chain has this many branches.
constexpr size_t kMaxCodes = 10000;

// C0, DEL and C1 (U+0080 to U+009F), given the sequence at s[i] of length n.
bool isControl(std::string_view s, size_t i, size_t n)
{
    const auto u = static_cast<unsigned char>(s[i]);
    if (n == 1)
        return u < 0x20 || u == 0x7F;
    return n == 2 && u == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
}

} // namespace

std::string quoteForMessage(std::string_view text)
{
    constexpr size_t kShown = 120; // bytes
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        const size_t n = utf8SequenceLength(text, i);
        const size_t taken = n ? n : 1;
        if (i + taken > kShown)
            break;
        if (n == 0 || isControl(text, i, n))
            appendHexEscaped(out, text.substr(i, taken), HexDigits::Upper);
        else
            out.append(text.substr(i, n));
        i += taken;
    }
    out += '"';
    if (i < text.size())
        out += " (cortado aqui; " + std::to_string(text.size()) + " bytes ao todo)";
    return out;
}

BranchSelector parseSelector(std::string_view text)
{
    // Positions are told in characters; the text is checked to be UTF-8 first.
    auto at = [&](size_t byte) {
        return std::to_string(cp1252::utf8Length(text.substr(0, byte)) + 1);
    };
    auto fail = [&](const std::string& why) -> BranchSelector {
        throw Error("Opera\u00e7\u00e3o bloqueada. Seletor de filiais " + quoteForMessage(text) +
                    " inv\u00e1lido: " + why + ". Informe " + std::string(wire::kAllBranches) +
                    " para todas as filiais ou os c\u00f3digos entre aspas simples,"
                    " separados por v\u00edrgula, como '0001','0002'.");
    };
    BranchSelector selector;
    if (text == wire::kAllBranches) {
        selector.all = true;
        return selector;
    }
    if (text.empty())
        return fail("est\u00e1 vazio");
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8SequenceLength(text, i);
        if (n == 0)
            return fail("byte que n\u00e3o \u00e9 UTF-8 v\u00e1lido na posi\u00e7\u00e3o " + at(i));
        if (isControl(text, i, n)) {
            std::string shown;
            appendHexEscaped(shown, text.substr(i, n), HexDigits::Upper);
            return fail("caractere de controle " + shown + " na posi\u00e7\u00e3o " + at(i));
        }
        i += n;
    }
    using Fault = BranchListReading::Fault;
    const BranchListReading list = readBranchList(text);
    std::unordered_set<std::string> seen;
    for (const BranchListCode& c : list.codes) {
        if (c.code.empty())
            return fail("c\u00f3digo de filial vazio na posi\u00e7\u00e3o " + at(c.at));
        if (cp1252::utf8Length(c.code) > kMaxCodeLength)
            return fail("o c\u00f3digo de filial " + quoteForMessage(c.code) +
                        " na posi\u00e7\u00e3o " + at(c.at) + " tem mais de " +
                        std::to_string(kMaxCodeLength) + " caracteres");
        if (seen.insert(c.code).second) {
            if (seen.size() > kMaxCodes)
                return fail("mais de " + std::to_string(kMaxCodes) + " filiais");
            selector.codes.push_back(c.code);
        }
    }
    switch (list.fault) {
    case Fault::None:
        break;
    case Fault::QuoteExpected:
        return fail("esperada ' na posi\u00e7\u00e3o " + at(list.at));
    case Fault::Unclosed:
        return fail("a aspa aberta na posi\u00e7\u00e3o " + at(list.at) + " n\u00e3o foi fechada");
    case Fault::CommaExpected:
        return fail("esperada , ou o fim ap\u00f3s o c\u00f3digo fechado na posi\u00e7\u00e3o " +
                    at(list.at - 1));
    case Fault::TrailingComma:
        return fail("falta um c\u00f3digo ap\u00f3s a v\u00edrgula final");
    }
    return selector;
}

std::optional<Day> parseIsoDay(std::string_view text)
{
    // Day also reads dd/mm/yyyy: only a day that writes back as the same text is taken.
    std::optional<Day> day = Day::parse(text);
    if (day && day->iso() != text)
        day.reset();
    return day;
}

} // namespace dotz::appserver
