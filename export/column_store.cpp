#include "column_store.h"

#include "base/error.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

namespace dotz {
using namespace column;

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

void ColumnData::insertRef(size_t at, TextRef ref)
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

double ColumnData::number(size_t row) const
{
    if (inDoubles)
        return doubles[row];
    return hundredths[row] == kNullHundredths ? kNullNumber
                                              : static_cast<double>(hundredths[row]) / 100;
}

void ColumnData::insertNumber(size_t at, double value)
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

column::TextRef ColumnData::storeText(std::string_view text)
{
    if (text.size() > kMaxText)
        throw Error("text of " + std::to_string(text.size()) + " bytes is too long to hold");
    if (blocks.empty() || used + 1 + text.size() > capacity) {
        if (blocks.size() == 1 && capacity < kBlockSize && stride == 0) {
            // The first block grows by copying; its references stay what they were.
            const size_t grown = std::min(kBlockSize, capacity * 4);
            auto bigger = std::make_unique_for_overwrite<char[]>(grown);
            std::memcpy(bigger.get(), blocks.back().get(), used);
            blocks.back() = std::move(bigger);
            capacity = blockBytes.back() = static_cast<uint32_t>(grown);
        } else {
            if (!blocks.empty()) // a scan of the whole block must see defined bytes
                std::memset(blocks.back().get() + used, 0, capacity - used);
            if (blocks.size() >= kNullText / kBlockSize)
                throw Error("uma coluna não comporta mais de 4 GiB de texto");
            capacity = blocks.empty() ? kFirstBlock : stride ? size_t{stride} << shift : kBlockSize;
            blocks.push_back(std::make_unique_for_overwrite<char[]>(capacity));
            blockBytes.push_back(static_cast<uint32_t>(capacity));
            used = 0;
        }
    }
    const auto ref = static_cast<TextRef>((blocks.size() - 1) * kBlockSize + used);
    char* at = blocks.back().get() + used;
    *at = static_cast<char>(0x80 | text.size());
    if (!text.empty())
        std::memcpy(at + 1, text.data(), text.size());
    used += 1 + text.size();
    return ref;
}

void ColumnStore::clear()
{
    for (ColumnData& c : data_)
        c = ColumnData{};
    faults_.clear();
    faults_.shrink_to_fit();
    rows_ = 0;
    kept_.clear();
    keptBlock_ = keptUsed_ = 0;
    borrowTexts(borrowing_);
}

void ColumnStore::borrowTexts(bool on)
{
    borrowing_ = on;
    for (size_t i = 0; i < defs_.size(); ++i)
        data_[i].borrowed = on && defs_[i].type == ColumnType::Text;
}

std::string_view ColumnStore::tooLong(int column, std::string_view text)
{
    faults_.push_back({static_cast<uint32_t>(rows_), static_cast<uint16_t>(column),
                       ValueFault::TooLong, static_cast<uint32_t>(text.size())});
    return text.substr(0, kMaxText);
}

std::string_view ColumnStore::keep(std::string_view text)
{
    if (keptUsed_ + text.size() > kKeptBlock || kept_.empty()) {
        if (!kept_.empty())
            ++keptBlock_;
        if (keptBlock_ == kept_.size())
            kept_.push_back(std::make_unique_for_overwrite<char[]>(kKeptBlock));
        keptUsed_ = 0;
    }
    char* at = kept_[keptBlock_].get() + keptUsed_;
    if (!text.empty())
        std::memcpy(at, text.data(), text.size());
    keptUsed_ += text.size();
    return {at, text.size()};
}

void ColumnStore::clearKeepingRoom()
{
    for (ColumnData& c : data_) {
        c.narrow.clear();
        c.wide.clear();
        c.wideRefs = false;
        // Slots or not, the first block takes texts again from its start.
        c.stride = c.shift = 0;
        c.slots = 0;
        c.blocks.resize(std::min<size_t>(c.blocks.size(), 1));
        c.blockBytes.resize(c.blocks.size());
        c.capacity = c.blocks.empty() ? 0 : c.blockBytes[0];
        c.used = 0;
        c.hundredths.clear();
        c.doubles.clear();
        c.inDoubles = false;
        c.views.clear();
        c.separator = false;
    }
    faults_.clear();
    rows_ = 0;
    keptBlock_ = keptUsed_ = 0;
}

void ColumnStore::reserveRows(size_t rows)
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

column::TextRef ColumnStore::storeChecked(int column, std::string_view text)
{
    ColumnData& c = data_[static_cast<size_t>(column)];
    if (text.size() > static_cast<size_t>(defs_[static_cast<size_t>(column)].size)) [[unlikely]]
        text = tooLong(column, text);
    // Branch-level values repeat row after row: they share one copy.
    if (rows_ != 0 && c.stride == 0) { // a slot holds its own bytes
        const TextRef above = c.lastRef();
        if (above != kNullText && sameText(c.text(above), text))
            return above;
    }
    return c.storeText(text);
}

size_t ColumnStore::memoryUsed() const
{
    size_t bytes = faults_.capacity() * sizeof(ValueFault) + kept_.size() * kKeptBlock;
    for (const ColumnData& c : data_)
        bytes += c.narrow.capacity() * sizeof(NarrowRef) + c.wide.capacity() * sizeof(TextRef) +
                 c.views.capacity() * sizeof(std::string_view) +
                 std::accumulate(c.blockBytes.begin(), c.blockBytes.end(), size_t{0}) +
                 c.hundredths.capacity() * sizeof(int32_t) + c.doubles.capacity() * sizeof(double);
    return bytes;
}

bool ColumnStore::columnHoldsAnyOf(int column, std::string_view bytes) const
{
    const ColumnData& c = data_[static_cast<size_t>(column)];
    if (c.borrowed)
        return std::any_of(c.views.begin(), c.views.end(), [&](std::string_view v) {
            return v.find_first_of(bytes) != std::string_view::npos;
        });
    for (size_t b = 0; b < c.blocks.size(); ++b) {
        const size_t used = b + 1 == c.blocks.size() ? c.used : c.blockBytes[b];
        for (char ch : bytes)
            if (std::memchr(c.blocks[b].get(), ch, used))
                return true;
    }
    return false;
}

void ColumnStore::insertRow(size_t at, int column, std::string_view value)
{
    for (size_t i = 0; i < defs_.size(); ++i) {
        ColumnData& c = data_[i];
        if (defs_[i].type == ColumnType::Number)
            c.insertNumber(at, std::numeric_limits<double>::quiet_NaN());
        else
            c.insertRef(at, static_cast<int>(i) == column ? c.storeText(value) : kNullText);
    }
    ++rows_;
}

} // namespace dotz
