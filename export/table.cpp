#include "table.h"

#include "error.h"
#include "numbers.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

namespace dotz {
namespace {
constexpr double kNullNumber = std::numeric_limits<double>::quiet_NaN();

// The hundredths that give back exactly `value` (not -0, whose sign they lose).
std::optional<int32_t> hundredthsOf(double value)
{
    const double scaled = std::nearbyint(value * 100);
    if (!(scaled > INT32_MIN && scaled <= INT32_MAX))
        return std::nullopt; // NaN too
    const auto h = static_cast<int32_t>(scaled);
    if (static_cast<double>(h) / 100 != value || (h == 0 && std::signbit(value)))
        return std::nullopt;
    return h;
}
} // namespace

void Table::ColumnData::insertRef(size_t at, TextRef ref)
{
    const size_t rows = textRows();
    // Every row gets its 4-byte reference (read before the column stops holding
    // them the old way).
    const auto widen = [&](size_t room) {
        wide.reserve(room);
        for (size_t row = 0; row < rows; ++row)
            wide.push_back(this->ref(row));
        narrow = std::vector<NarrowRef>(); // its room too
        wideRefs = true;
    };
    if (stride != 0) {
        // Leaving the slots.
        widen(rows + rows / 2 + 1);
        stride = 0;
    } else if (!wideRefs && ref != kNullText && ref >= kNullNarrow && at == rows &&
               blocks.size() == 1) {
        // Into slots when every value so far has this one's length, none null, and
        // slots take less room than references and the bytes held now.
        const uint32_t size = bytesAt(ref);
        const auto slotShift = static_cast<uint32_t>(std::bit_width(kBlockSize / size) - 1);
        bool inSlots = rows < (size_t{1} << slotShift) &&
                       size_t{size} * (rows + 1) <= sizeof(TextRef) * (rows + 1) + used;
        for (size_t row = 0; inSlots && row < rows; ++row)
            inSlots = narrow[row] != kNullNarrow && bytesAt(narrow[row]) == size;
        if (inSlots) {
            stride = size;
            shift = slotShift;
            slots = rows + 1;
            // One block of exactly its 2^shift slots, each row's bytes in its own.
            auto block = std::make_unique_for_overwrite<char[]>(size_t{stride} << shift);
            for (size_t row = 0; row < slots; ++row)
                std::memcpy(block.get() + row * size,
                            blocks.back().get() + (row < rows ? narrow[row] : ref), size);
            blocks.back() = std::move(block);
            capacity = blockBytes.back() = stride << shift;
            used = slots * size;
            narrow = std::vector<NarrowRef>();
            return;
        }
    }
    if (!wideRefs && ref != kNullText && ref >= kNullNarrow)
        widen(std::max(narrow.capacity(), narrow.size() + 1));
    if (wideRefs)
        wide.insert(wide.begin() + static_cast<ptrdiff_t>(at), ref);
    else
        narrow.insert(narrow.begin() + static_cast<ptrdiff_t>(at),
                      ref == kNullText ? kNullNarrow : static_cast<NarrowRef>(ref));
}

double Table::ColumnData::number(size_t row) const
{
    if (inDoubles)
        return doubles[row];
    return hundredths[row] == kNullHundredths ? kNullNumber
                                              : static_cast<double>(hundredths[row]) / 100;
}

void Table::ColumnData::insertNumber(size_t at, double value)
{
    std::optional<int32_t> h = std::isnan(value) ? kNullHundredths : hundredthsOf(value);
    if (!inDoubles && !h) {
        doubles.reserve(std::max(hundredths.capacity(), hundredths.size() + 1));
        for (size_t row = 0; row < hundredths.size(); ++row)
            doubles.push_back(number(row));
        hundredths = std::vector<int32_t>();
        inDoubles = true;
    }
    if (inDoubles)
        doubles.insert(doubles.begin() + static_cast<ptrdiff_t>(at), value);
    else
        hundredths.insert(hundredths.begin() + static_cast<ptrdiff_t>(at), *h);
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
        ColumnData& c = data_[i];
        if (defs_[i].type == ColumnType::Text && c.stride != 0)
            continue; // slots hold no references
        if (defs_[i].type == ColumnType::Text && c.wideRefs)
            fit(c.wide);
        else if (defs_[i].type == ColumnType::Text)
            fit(c.narrow);
        else if (c.inDoubles)
            fit(c.doubles);
        else
            fit(c.hundredths);
    }
}

Table::TextRef Table::storeText(ColumnData& c, std::string_view text)
{
    if (text.size() > kMaxText)
        throw Error("text of " + std::to_string(text.size()) + " bytes is too long to hold");
    if (c.blocks.empty() || c.used + 1 + text.size() > c.capacity) {
        if (c.blocks.size() == 1 && c.capacity < kBlockSize && c.stride == 0) {
            // The first block grows by copying; its references stay what they were.
            const size_t capacity = std::min(kBlockSize, c.capacity * 4);
            auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
            std::memcpy(bigger.get(), c.blocks.back().get(), c.used);
            c.blocks.back() = std::move(bigger);
            c.capacity = c.blockBytes.back() = static_cast<uint32_t>(capacity);
        } else {
            if (!c.blocks.empty()) // a scan of the whole block must see defined bytes
                std::memset(c.blocks.back().get() + c.used, 0, c.capacity - c.used);
            if (c.blocks.size() >= kNullText / kBlockSize)
                throw Error("uma coluna não comporta mais de 4 GiB de texto");
            c.capacity = c.blocks.empty() ? kFirstBlock
                         : c.stride       ? size_t{c.stride} << c.shift
                                          : kBlockSize;
            c.blocks.push_back(std::make_unique_for_overwrite<char[]>(c.capacity));
            c.blockBytes.push_back(static_cast<uint32_t>(c.capacity));
            c.used = 0;
        }
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
    if (rows_ != 0 && c.stride == 0) { // a slot holds its own bytes
        const TextRef above = c.lastRef();
        if (above != kNullText && sameText(refText(c, above), text))
            return above;
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
        bytes += c.narrow.capacity() * sizeof(NarrowRef) + c.wide.capacity() * sizeof(TextRef) +
                 std::accumulate(c.blockBytes.begin(), c.blockBytes.end(), size_t{0}) +
                 c.hundredths.capacity() * sizeof(int32_t) + c.doubles.capacity() * sizeof(double);
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
    return row < rows_ ? refText(c, c.ref(row)) : std::string_view{};
}

double Table::numberAt(size_t row, int column) const
{
    checkColumn(column);
    const ColumnDef& def = defs_[static_cast<size_t>(column)];
    if (def.type != ColumnType::Number)
        throw Error("column " + def.name + " of table " + name_ + " is not a number column");
    if (row >= rows_)
        return 0;
    const double v = data_[static_cast<size_t>(column)].number(row);
    return std::isnan(v) ? 0 : v;
}

bool Table::isNullAt(size_t row, int column) const
{
    checkColumn(column);
    if (row >= rows_)
        return true;
    const ColumnData& c = data_[static_cast<size_t>(column)];
    if (defs_[static_cast<size_t>(column)].type == ColumnType::Number)
        return std::isnan(c.number(row));
    return c.ref(row) == kNullText;
}

std::string_view Table::textView(int column) const
{
    return textAt(row_, column);
}
double Table::asNumber(int column) const
{
    return numberAt(row_, column);
}
bool Table::isNull(int column) const
{
    return isNullAt(row_, column);
}

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
    return TextColumn(c);
}

Table::NumberColumn Table::numberColumn(int column) const
{
    checkColumn(column);
    if (defs_[static_cast<size_t>(column)].type != ColumnType::Number)
        throw Error("column " + defs_[static_cast<size_t>(column)].name + " of table " + name_ +
                    " is not a number column");
    const ColumnData& c = data_[static_cast<size_t>(column)];
    return NumberColumn(c.hundredths.data(), c.inDoubles ? c.doubles.data() : nullptr);
}

bool Table::columnHoldsAnyOf(int column, std::string_view bytes) const
{
    checkColumn(column);
    const ColumnData& c = data_[static_cast<size_t>(column)];
    for (size_t b = 0; b < c.blocks.size(); ++b) {
        const size_t used = b + 1 == c.blocks.size() ? c.used : c.blockBytes[b];
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

void Table::empty()
{
    clear();
}

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
        if (defs_[i].type == ColumnType::Number)
            c.insertNumber(at, kNullNumber);
        else
            c.insertRef(at, static_cast<int>(i) == column ? storeText(c, value) : kNullText);
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
            c.pushRef(v.kind == Value::Null ? kNullText
                                            : storeChecked(static_cast<int>(i), v.text));
        else
            c.pushNumber(v.kind == Value::Null ? kNullNumber : v.number);
    }
    if (rows_++ == 0)
        first();
}

} // namespace dotz
