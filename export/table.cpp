#include "table.h"

#include "error.h"
#include "numbers.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace dotz {
namespace {
constexpr double kNullNumber = std::numeric_limits<double>::quiet_NaN();
}

Table::Table(std::string name, std::vector<ColumnDef> columns)
    : name_(std::move(name)), defs_(std::move(columns)), data_(defs_.size())
{
}

int Table::column(std::string_view name) const
{
    for (size_t i = 0; i < defs_.size(); ++i)
        if (defs_[i].name == name)
            return static_cast<int>(i);
    throw Error("table " + name_ + " has no column " + std::string(name));
}

void Table::checkColumn(int column) const
{
    if (column < 0 || static_cast<size_t>(column) >= defs_.size())
        throw Error("table " + name_ + " has no column number " + std::to_string(column));
}

void Table::clear()
{
    for (ColumnData& c : data_)
        c = ColumnData{};
    faults_.clear();
    faults_.shrink_to_fit();
    rows_ = 0;
    row_ = 0;
    eof_ = true;
}

void Table::reserveRows(size_t rows)
{
    auto fit = [&](auto& v) {
        if (rows > v.capacity())
            v.reserve(rows);
        else if (v.capacity() - v.size() > v.size() / 4 + 64)
            v.shrink_to_fit();
    };
    for (size_t i = 0; i < defs_.size(); ++i) {
        if (defs_[i].type == ColumnType::Text)
            fit(data_[i].texts);
        else
            fit(data_[i].numbers);
    }
}

Table::TextRef Table::storeText(ColumnData& c, std::string_view text)
{
    if (text.size() > kMaxText)
        throw Error("text of " + std::to_string(text.size()) + " bytes is too long to hold");
    if (c.blocks.empty() || c.used + 1 + text.size() > kBlockSize) {
        if (!c.blocks.empty()) // a scan of the whole block must see defined bytes
            std::memset(c.blocks.back().get() + c.used, 0, kBlockSize - c.used);
        if (c.blocks.size() >= kNullText / kBlockSize)
            throw Error("uma coluna não comporta mais de 4 GiB de texto");
        c.blocks.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
        c.used = 0;
    }
    const auto ref = static_cast<TextRef>((c.blocks.size() - 1) * kBlockSize + c.used);
    char* at = c.blocks.back().get() + c.used;
    *at = static_cast<char>(0x80 | text.size());
    if (!text.empty())
        std::memcpy(at + 1, text.data(), text.size());
    c.used += 1 + text.size();
    return ref;
}

Table::TextRef Table::storeChecked(int column, std::string_view text)
{
    ColumnData& c = data_[static_cast<size_t>(column)];
    if (text.size() > static_cast<size_t>(defs_[static_cast<size_t>(column)].size)) [[unlikely]] {
        faults_.push_back({static_cast<uint32_t>(rows_), static_cast<uint16_t>(column),
                           ValueFault::TooLong, static_cast<uint32_t>(text.size())});
        text = text.substr(0, kMaxText);
    }
    // Branch-level values repeat row after row: they share one copy.
    if (!c.texts.empty() && c.texts.back() != kNullText) {
        if (sameText(refText(c, c.texts.back()), text))
            return c.texts.back();
    }
    return storeText(c, text);
}

std::string_view Table::refText(const ColumnData& c, TextRef ref)
{
    if (ref == kNullText)
        return {};
    const char* at = c.blocks[ref / kBlockSize].get() + ref % kBlockSize;
    return {at + 1, static_cast<unsigned char>(*at) & 0x7Fu};
}

size_t Table::memoryUsed() const
{
    size_t bytes = faults_.capacity() * sizeof(ValueFault);
    for (const ColumnData& c : data_)
        bytes += c.texts.capacity() * sizeof(TextRef) + c.blocks.size() * kBlockSize +
                 c.numbers.capacity() * sizeof(double);
    return bytes;
}

void Table::first()
{
    row_ = 0;
    eof_ = rows_ == 0;
}

void Table::next()
{
    if (rows_ == 0 || row_ + 1 >= rows_)
        eof_ = true;
    else
        ++row_;
}

std::string_view Table::textAt(size_t row, int column) const
{
    checkColumn(column);
    const ColumnData& c = data_[static_cast<size_t>(column)];
    if (defs_[static_cast<size_t>(column)].type != ColumnType::Text)
        throw Error("column " + defs_[static_cast<size_t>(column)].name + " of table " + name_ +
                    " is not a text column");
    return row < rows_ ? refText(c, c.texts[row]) : std::string_view{};
}

double Table::numberAt(size_t row, int column) const
{
    checkColumn(column);
    const ColumnDef& def = defs_[static_cast<size_t>(column)];
    if (def.type != ColumnType::Number)
        throw Error("column " + def.name + " of table " + name_ + " is not a number column");
    if (row >= rows_)
        return 0;
    const double v = data_[static_cast<size_t>(column)].numbers[row];
    return std::isnan(v) ? 0 : v;
}

bool Table::isNullAt(size_t row, int column) const
{
    checkColumn(column);
    if (row >= rows_)
        return true;
    const ColumnData& c = data_[static_cast<size_t>(column)];
    if (defs_[static_cast<size_t>(column)].type == ColumnType::Number)
        return std::isnan(c.numbers[row]);
    return c.texts[row] == kNullText;
}

std::string_view Table::textView(int column) const { return textAt(row_, column); }
double Table::asNumber(int column) const { return numberAt(row_, column); }
bool Table::isNull(int column) const { return isNullAt(row_, column); }

std::string Table::asText(int column) const
{
    checkColumn(column);
    if (defs_[static_cast<size_t>(column)].type == ColumnType::Text)
        return std::string(textAt(row_, column));
    if (isNullAt(row_, column))
        return {};
    return generalText(numberAt(row_, column));
}

Table::TextColumn Table::textColumn(int column) const
{
    checkColumn(column);
    if (defs_[static_cast<size_t>(column)].type != ColumnType::Text)
        throw Error("column " + defs_[static_cast<size_t>(column)].name + " of table " + name_ +
                    " is not a text column");
    const ColumnData& c = data_[static_cast<size_t>(column)];
    return TextColumn(c.texts.data(), c.blocks.data());
}

Table::NumberColumn Table::numberColumn(int column) const
{
    checkColumn(column);
    if (defs_[static_cast<size_t>(column)].type != ColumnType::Number)
        throw Error("column " + defs_[static_cast<size_t>(column)].name + " of table " + name_ +
                    " is not a number column");
    return NumberColumn(data_[static_cast<size_t>(column)].numbers.data());
}

bool Table::columnHoldsAnyOf(int column, std::string_view bytes) const
{
    checkColumn(column);
    const ColumnData& c = data_[static_cast<size_t>(column)];
    for (size_t b = 0; b < c.blocks.size(); ++b) {
        const size_t used = b + 1 == c.blocks.size() ? c.used : kBlockSize;
        for (char ch : bytes)
            if (std::memchr(c.blocks[b].get(), ch, used))
                return true;
    }
    return false;
}

void Table::createEmpty()
{
    clear();
    created_ = true;
}

void Table::empty() { clear(); }

bool Table::find(int column, std::string_view value)
{
    checkColumn(column);
    for (size_t r = 0; r < rows_; ++r) {
        if (!isNullAt(r, column) && textAt(r, column) == value) {
            row_ = r;
            eof_ = false;
            return true;
        }
    }
    return false;
}

void Table::insert(int column, std::string_view value)
{
    checkColumn(column);
    if (defs_[static_cast<size_t>(column)].type != ColumnType::Text)
        throw Error("column " + defs_[static_cast<size_t>(column)].name + " of table " + name_ +
                    " is not a text column");
    const size_t at = rows_ == 0 ? 0 : row_;
    for (size_t i = 0; i < defs_.size(); ++i) {
        ColumnData& c = data_[i];
        if (defs_[i].type == ColumnType::Number) {
            c.numbers.insert(c.numbers.begin() + static_cast<ptrdiff_t>(at), kNullNumber);
        } else {
            const TextRef ref = static_cast<int>(i) == column ? storeText(c, value) : kNullText;
            c.texts.insert(c.texts.begin() + static_cast<ptrdiff_t>(at), ref);
        }
    }
    ++rows_;
    row_ = at;
    eof_ = false;
}

void Table::appendRow(std::vector<Value> values)
{
    if (values.size() != defs_.size())
        throw Error("table " + name_ + ": a row needs " + std::to_string(defs_.size()) +
                    " values, got " + std::to_string(values.size()));
    for (size_t i = 0; i < defs_.size(); ++i) {
        const Value& v = values[i];
        ColumnData& c = data_[i];
        const bool wantText = defs_[i].type == ColumnType::Text;
        if (v.kind != Value::Null && (v.kind == Value::Text) != wantText)
            throw Error("table " + name_ + ": wrong kind of value for column " + defs_[i].name);
        if (wantText)
            c.texts.push_back(v.kind == Value::Null ? kNullText
                                                    : storeChecked(static_cast<int>(i), v.text));
        else
            c.numbers.push_back(v.kind == Value::Null ? kNullNumber : v.number);
    }
    if (rows_++ == 0)
        first();
}

} // namespace dotz
