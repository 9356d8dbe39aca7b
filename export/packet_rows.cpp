#include "packet_rows.h"

#include "base/cp1252.h"
#include "base/error.h"
#include "base/reasons.h"
#include "base/wire_contract.h"
#include "json_tokens.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace dotz::packet_rows {

using namespace json_tokens;

void fail(const std::string& t, std::string_view column, size_t row, const std::string& what,
          std::string detail)
{
    std::string msg = "Operação bloqueada. Dados inválidos recebidos do servidor: tabela " + t;
    if (!column.empty())
        msg += ", coluna " + std::string(column);
    if (row)
        msg += ", linha " + std::to_string(row);
    throw Error(msg + ": " + what + ".", std::move(detail));
}

void failed(const std::string& t, simdjson::error_code e, std::string_view column, size_t row,
            std::string_view what)
{
    if (e == simdjson::INCORRECT_TYPE)
        fail(t, column, row, std::string(what));
    fail(t, column, row, std::string(what) + " (" + jsonReason(e) + ")",
         simdjson::error_message(e));
}

namespace {

using simdjson::ondemand::json_type;

std::string jsonKind(json_type k)
{
    switch (k) {
    case json_type::array:
        return "uma lista";
    case json_type::object:
        return "um objeto";
    case json_type::number:
        return "um número";
    case json_type::string:
        return "um texto";
    case json_type::boolean:
        return "um valor lógico";
    case json_type::null:
        return "null";
    }
    return "um valor desconhecido";
}

// A value the loader has no use for is read all the same: the iterator would skip
// it without looking inside, and broken JSON would pass. Packets carry only
// scalars (texts, numbers, null; a column description may hold a boolean).
simdjson::error_code readScalar(simdjson::ondemand::value v)
{
    json_type kind = json_type::null;
    if (const auto e = v.type().get(kind))
        return e;
    bool isNull = false;
    switch (kind) {
    case json_type::string:
        return v.get_string().error();
    case json_type::number:
        return v.get_number().error();
    case json_type::boolean:
        return v.get_bool().error();
    case json_type::null:
        if (const auto e = v.is_null().get(isNull))
            return e;
        return isNull ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
    case json_type::array:
    case json_type::object:
        break;
    }
    return simdjson::INCORRECT_TYPE;
}

// A declared column's value that is not of the column's kind: a null passes (and
// is checked to be one); anything else ends the load with what it is.
[[gnu::noinline]] void refuseOrNull(const std::string& t, simdjson::ondemand::value& val,
                                    const ColumnDef& def, size_t rowNo)
{
    json_type kind = json_type::null;
    check(t, val.type().get(kind), def.name, rowNo, "o valor não é JSON válido");
    if (kind == json_type::null) {
        bool isNull = false;
        check(t, val.is_null().get(isNull), def.name, rowNo, "o valor não é JSON válido");
        if (!isNull)
            fail(t, def.name, rowNo, "o valor não é JSON válido");
        return;
    }
    fail(t, def.name, rowNo,
         std::string(def.type == ColumnType::Text ? "era esperado um texto"
                                                  : "era esperado um número") +
             ", veio " + jsonKind(kind));
}

std::string quoted(std::string_view key)
{
    return "\"" + std::string(key) + "\"";
}

// The columns take room for the rows the packet's length promises, judged by its
// first rows, so that they do not grow (and copy) a step at a time.
constexpr size_t kSampleRows = 32;

} // namespace

std::vector<int> readColumns(const std::string& t, simdjson::ondemand::array cols,
                             const std::vector<ColumnDef>& defs)
{
    using namespace wire;
    std::vector<int> target;
    std::vector<bool> present(defs.size(), false);
    // Every element is checked before it is used: after an error the iteration
    // must not go on.
    for (auto c : cols) {
        simdjson::ondemand::object col;
        check(t, c.get_object().get(col), {}, 0,
              "a descrição de uma coluna não é um objeto JSON válido");
        // One pass over the description, every field checked: a broken one ends here.
        std::string colName, colType;
        bool named = false, typed = false;
        for (auto field : col) {
            std::string_view key, text;
            check(t, field.unescaped_key().get(key), colName, 0,
                  "a descrição da coluna não é JSON válido");
            if (key != key::kName && key != key::kType) {
                check(t, readScalar(field.value()), colName, 0,
                      "a descrição da coluna não é JSON válido ou traz uma lista ou objeto");
                continue;
            }
            check(t, field.value().get_string().get(text), colName, 0,
                  "a descrição da coluna tem \"" + std::string(key) + "\" que não é um texto");
            (key == key::kName ? colName : colType) = text;
            (key == key::kName ? named : typed) = true;
        }
        if (!named)
            fail(t, {}, 0, "a descrição de uma coluna não tem " + quoted(key::kName));
        if (!typed)
            fail(t, colName, 0, "a descrição da coluna não tem " + quoted(key::kType));
        if (colType != kTypeText && colType != kTypeNumber)
            fail(t, colName, 0, "tipo de coluna desconhecido \"" + colType + "\"");
        int index = -1;
        for (size_t i = 0; i < defs.size(); ++i)
            if (defs[i].name == colName)
                index = static_cast<int>(i);
        if (index >= 0) {
            if (present[static_cast<size_t>(index)])
                fail(t, colName, 0, "a coluna aparece duas vezes no pacote");
            present[static_cast<size_t>(index)] = true;
            const ColumnType want = defs[static_cast<size_t>(index)].type;
            const ColumnType got = colType == kTypeText ? ColumnType::Text : ColumnType::Number;
            if (want != got)
                fail(t, colName, 0,
                     "a coluna é " + colType + " no pacote, mas deveria ser " +
                         std::string(want == ColumnType::Text ? kTypeText : kTypeNumber));
        }
        target.push_back(index);
    }
    for (size_t i = 0; i < defs.size(); ++i)
        if (!present[i])
            fail(t, defs[i].name, 0, "a coluna não consta do pacote");
    return target;
}

// The rows of one packet into the store, one at a time, whether the packet is
// read whole or a piece at a time.

const char* RowLoader::row(simdjson::simdjson_result<simdjson::ondemand::value> r)
{
    ++rowNo_;
    simdjson::ondemand::value rowValue;
    check(t_, r.get(rowValue), {}, rowNo_, "a linha não é uma lista JSON válida");
    const char* start = rowValue.raw_json_token().data();
    if (rowNo_ == 1)
        firstRow_ = offsetOf(start);
    else if (rowNo_ == kSampleRows + 1 && rowsEnd_ != 0)
        store_.reserveRows(estimateRows(offsetOf(start)));
    simdjson::ondemand::array row;
    check(t_, rowValue.get_array().get(row), {}, rowNo_, "a linha não é uma lista JSON válida");
    size_t k = 0;
    for (auto v : row) {
        simdjson::ondemand::value val;
        check(t_, v.get(val), {}, rowNo_, "a linha não é JSON válido");
        if (k >= target_.size())
            fail(t_, {}, rowNo_,
                 "a linha tem mais valores que as " + std::to_string(target_.size()) +
                     " colunas do pacote");
        const int tc = target_[k++];
        if (tc < 0) {
            check(t_, readScalar(val), {}, rowNo_,
                  "o valor de uma coluna não declarada não é JSON válido ou não é um texto, "
                  "número ou null");
            continue;
        }
        value(tc, val);
    }
    if (k != target_.size())
        fail(t_, {}, rowNo_,
             "a linha tem " + std::to_string(k) + " valores, o pacote tem " +
                 std::to_string(target_.size()) + " colunas");
    store_.endRow();
    return start;
}

size_t RowLoader::estimateRows(size_t afterSample) const
{
    const size_t sampled = afterSample - firstRow_;
    const size_t remaining = rowsEnd_ - firstRow_;
    if (sampled == 0 || afterSample < firstRow_ || rowsEnd_ < firstRow_ || remaining < sampled)
        return 0;
    return remaining / sampled * kSampleRows + kSampleRows;
}

void RowLoader::value(int tc, simdjson::ondemand::value& val)
{
    const ColumnDef& def = defs_[static_cast<size_t>(tc)];
    ColumnData& data = store_.data(static_cast<size_t>(tc));
    // The token's first byte tells its kind, so the common value costs one
    // decoder call; anything unexpected takes the careful path below.
    std::string_view tok = val.raw_json_token();
    const char lead = tok.empty() ? '\0' : tok.front();
    const bool ofItsKind =
        def.type == ColumnType::Text ? lead == '"' : lead == '-' || (lead >= '0' && lead <= '9');
    if (!ofItsKind) {
        refuseOrNull(t_, val, def, rowNo_);
        if (def.type == ColumnType::Text)
            pushNull(tc);
        else
            data.pushNumber(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    if (def.type == ColumnType::Number) {
        if (const auto h = plainHundredths(tok)) {
            data.pushHundredths(*h);
            return;
        }
        double d = 0;
        check(t_, val.get_double().get(d), def.name, rowNo_, "o número não pode ser lido");
        if (!std::isfinite(d))
            fail(t_, def.name, rowNo_, "número fora do intervalo");
        data.pushNumber(d);
        return;
    }
    // The raw token is the string's bytes between its quotes unless it holds
    // escapes; only then does the parser unescape it.
    const size_t close = tok.rfind('"');
    if (tok.size() < 2 || close == 0 || close == std::string_view::npos)
        fail(t_, def.name, rowNo_, "o texto não pode ser lido");
    tok = tok.substr(1, close - 1);
    if (sharedWithAbove(tc, tok))
        return;
    std::string_view utf8 = tok;
    const unsigned holds = scanRaw(tok);
    if (holds & kEscape) {
        check(t_, val.get_string().get(utf8), def.name, rowNo_, "o texto não pode ser lido");
    } else if (holds & kControl) {
        fail(t_, def.name, rowNo_, "o texto tem um caractere de controle sem escape");
    }
    text(tc, tok, utf8, holds);
}

bool RowLoader::sharedWithAbove(int tc, std::string_view tok)
{
    ColumnData& data = store_.data(static_cast<size_t>(tc));
    const Above& same = above_[static_cast<size_t>(tc)];
    if (same.ref == column::kNullText)
        return false;
    if (data.borrowed) {
        if (!ColumnStore::sameText(same.raw, tok))
            return false;
        data.views.push_back(data.views.back());
        return true;
    }
    if (data.stride != 0 || same.ref != data.lastRef() || !ColumnStore::sameText(same.raw, tok))
        return false;
    data.pushRef(same.ref);
    return true;
}

void RowLoader::pushNull(int tc)
{
    store_.data(static_cast<size_t>(tc)).pushNullText();
    above_[static_cast<size_t>(tc)] = {};
}

void RowLoader::text(int tc, std::string_view tok, std::string_view utf8, unsigned holds)
{
    std::string_view held = utf8;
    const size_t faults = store_.faults().size();
    const bool converted = (holds & kHigh) || utf8.data() != tok.data();
    if (converted) {
        scratch_.clear();
        if (auto bad = cp1252::appendFromUtf8Replacing(utf8, scratch_, '?')) {
            // Kept for what it is, refused only where it would reach a file.
            store_.noteNotWindows1252(tc, *bad);
            scratch_.resize(std::min(scratch_.size(), column::kMaxText));
        }
        held = scratch_;
    }
    if (store_.borrowing()) {
        // A text read as it lies stays there; one converted is kept.
        const bool separator =
            converted ? held.find_first_of(column::kSeparators) != std::string_view::npos
                      : (holds & kBar) != 0;
        store_.borrowText(tc, held, separator, converted);
        above_[static_cast<size_t>(tc)] = {
            tok, store_.faults().size() == faults ? column::TextRef{0} : column::kNullText};
        return;
    }
    const column::TextRef ref = store_.storeChecked(tc, held);
    store_.data(static_cast<size_t>(tc)).pushRef(ref);
    // A value with a fault is noted again on every row that holds it.
    above_[static_cast<size_t>(tc)] = {tok,
                                       store_.faults().size() == faults ? ref : column::kNullText};
}

bool RowLoader::plainText(int tc, std::string_view tok, unsigned holds)
{
    if (tc >= 0) {
        if (defs_[static_cast<size_t>(tc)].type != ColumnType::Text)
            return false;
        if (store_.borrowing() && (holds & ~kBar) == 0) {
            // Its bytes are its value: borrowed as they lie, nothing to compare.
            store_.borrowText(tc, tok, (holds & kBar) != 0, false);
            above_[static_cast<size_t>(tc)] = {};
            return true;
        }
        if (sharedWithAbove(tc, tok))
            return true;
    }
    if ((holds & kControl) || ((holds & kHigh) && !simdjson::validate_utf8(tok.data(), tok.size())))
        return false;
    std::string_view utf8 = tok;
    if (holds & kEscape) {
        if (!unescapePlain(tok, unescaped_))
            return false;
        utf8 = unescaped_;
    }
    if (tc >= 0)
        text(tc, tok, utf8, holds);
    return true;
}

bool RowLoader::plainScalar(int tc, std::string_view tok)
{
    const bool isNull = tok == "null";
    const auto h = isNull ? std::nullopt : plainHundredths(tok);
    double d = 0;
    if (!isNull && !h && !plainDouble(tok, d))
        return false;
    if (tc < 0)
        return true;
    ColumnData& data = store_.data(static_cast<size_t>(tc));
    if (defs_[static_cast<size_t>(tc)].type == ColumnType::Text) {
        if (!isNull)
            return false;
        pushNull(tc);
    } else if (isNull) {
        data.pushNumber(std::numeric_limits<double>::quiet_NaN());
    } else if (h) {
        data.pushHundredths(*h);
    } else {
        data.pushNumber(d);
    }
    return true;
}

bool RowLoader::plainRows(const char* p, const char* const end)
{
    if (rowsEnd_ != 0 || store_.rows() != 0 || p == end)
        return false;
    const size_t rowNo = rowNo_;
    const auto undo = [&] {
        store_.clearKeepingRoom();
        rowNo_ = rowNo;
        std::fill(above_.begin(), above_.end(), Above{});
        return false;
    };
    while (true) {
        if (p == end || *p++ != '[')
            return undo();
        ++rowNo_;
        size_t k = 0;
        while (true) {
            if (p == end || k == target_.size())
                return undo();
            const int tc = target_[k++];
            int32_t h = 0;
            const char* after = nullptr;
            if (*p == '"') {
                unsigned holds = 0;
                const char* close = plainString(p + 1, end, holds);
                if (!close ||
                    !plainText(tc, std::string_view(p + 1, static_cast<size_t>(close - p - 1)),
                               holds))
                    return undo();
                p = close + 1;
            } else if (tc >= 0 && defs_[static_cast<size_t>(tc)].type == ColumnType::Number &&
                       (after = plainHundredthsAt(p, end, h))) {
                store_.data(static_cast<size_t>(tc)).pushHundredths(h);
                p = after;
            } else {
                const char* tokEnd = p;
                while (tokEnd != end && *tokEnd != ',' && *tokEnd != ']')
                    ++tokEnd;
                if (!plainScalar(tc, std::string_view(p, static_cast<size_t>(tokEnd - p))))
                    return undo();
                p = tokEnd;
            }
            if (p == end)
                return undo();
            if (*p++ == ']')
                break;
            if (p[-1] != ',')
                return undo();
        }
        if (k != target_.size())
            return undo();
        store_.endRow();
        if (p == end)
            return true;
        if (*p++ != ',')
            return undo();
    }
}

} // namespace dotz::packet_rows
