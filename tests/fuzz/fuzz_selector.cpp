// The server's pure parsing of request text: the branch selector, the day, the
// quoting of both in messages, and the JSON string writer the reply uses.
// Besides not crashing, each checks what callers rely on.
#include "appserver/principal/selector.h"
#include "appserver/rpc/json_out.h"

#include "base/branch_list.h"
#include "base/cp1252.h"
#include "base/error.h"

#include <simdjson.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

using namespace dotz::appserver;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool validUtf8WithoutControls(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8SequenceLength(s, i);
        if (n == 0 || (n == 1 && (static_cast<unsigned char>(s[i]) < 0x20 || s[i] == 0x7F)))
            return false;
        if (n == 2 && static_cast<unsigned char>(s[i]) == 0xC2 &&
            static_cast<unsigned char>(s[i + 1]) < 0xA0)
            return false;
        i += n;
    }
    return true;
}

void selector(std::string_view text)
{
    BranchSelector parsed;
    try {
        parsed = parseSelector(text);
    } catch (const dotz::Error& e) {
        // The message travels in a JSON reply: it must be clean UTF-8.
        require(validUtf8WithoutControls(e.what()));
        return;
    }
    require(parsed.all == (text == "T"));
    if (parsed.all)
        return;
    require(!parsed.codes.empty());
    std::unordered_set<std::string> seen;
    for (const std::string& code : parsed.codes) {
        require(!code.empty() && dotz::cp1252::utf8Length(code) <= 4);
        require(validUtf8WithoutControls(code));
        require(seen.insert(code).second);
    }
    require(parseSelector(dotz::branchListText(parsed.codes)).codes == parsed.codes);
}

// Against the standard library's calendar.
void day(std::string_view text)
{
    bool shaped = text.size() == 10;
    for (size_t i = 0; shaped && i < text.size(); ++i)
        shaped = (i == 4 || i == 7) ? text[i] == '-' : text[i] >= '0' && text[i] <= '9';
    if (!shaped) {
        require(!isIsoDay(text));
        return;
    }
    const auto number = [&](size_t at, size_t n) {
        return std::stoi(std::string(text.substr(at, n)));
    };
    const std::chrono::year_month_day ymd{std::chrono::year(number(0, 4)),
                                          std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                          std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    require(isIsoDay(text) == (ymd.ok() && number(0, 4) >= 1));
}

void jsonString(std::string_view text)
{
    std::string json;
    JsonOut out([&](std::string_view piece) { json.append(piece); });
    size_t characters = 0;
    try {
        characters = out.string(text);
    } catch (const dotz::Error&) {
        return; // malformed UTF-8 is refused, never sent
    }
    out.finish();
    require(characters == dotz::cp1252::utf8Length(text));
    simdjson::padded_string padded(json);
    simdjson::ondemand::parser parser;
    auto doc = parser.iterate(padded);
    std::string_view back;
    require(doc.get_string().get(back) == simdjson::SUCCESS);
    require(back == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    selector(text);
    day(text);
    require(validUtf8WithoutControls(quoteForMessage(text)));
    jsonString(text);
    return 0;
}
