#pragma once
// The storage under a piece of a packet's rows: for the run, the packet loader and
// the file writer only; other readers go through the column views.
#include "column_views.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace dotz {

// One column's values, held as column_views.h describes.
struct ColumnData
{
    using TextRef = column::TextRef;
    using NarrowRef = column::NarrowRef;
    // A column's first block starts small and grows to full size: a small day's
    // columns take a few KiB each, not a block each.
    static constexpr size_t kFirstBlock = size_t{1} << 12;

    std::vector<NarrowRef> narrow; // text, while the texts fit 64 KiB
    std::vector<TextRef> wide;     // text, after
    bool wideRefs = false;
    uint32_t stride = 0; // text in slots when not 0
    uint32_t shift = 0;
    size_t slots = 0;                            // rows held in slots
    std::vector<std::unique_ptr<char[]>> blocks; // text bytes
    std::vector<uint32_t> blockBytes;            // size of each block
    size_t used = 0;                             // bytes used in the last block
    size_t capacity = 0;                         // bytes of the last block
    std::vector<int32_t> hundredths;             // number; null is kNullHundredths
    std::vector<double> doubles; // number once one is not in hundredths; null is NaN
    bool inDoubles = false;
    // A text column of a store that borrows its texts (ColumnStore::borrowTexts):
    // each row's text where it lies, a null without data.
    bool borrowed = false;
    std::vector<std::string_view> views;
    bool separator = false; // a text borrowed may hold one of column::kSeparators

    TextRef ref(size_t row) const
    {
        if (stride)
            return column::slotRef(row, stride, shift);
        if (wideRefs)
            return wide[row];
        return narrow[row] == column::kNullNarrow ? column::kNullText : narrow[row];
    }
    size_t textRows() const { return stride ? slots : wideRefs ? wide.size() : narrow.size(); }
    TextRef lastRef() const { return ref(textRows() - 1); }
    std::string_view text(TextRef at) const { return column::textAt(blocks.data(), at); }
    // Bytes of the value at `ref`, its length byte included.
    uint32_t bytesAt(TextRef at) const
    {
        using column::kBlockSize;
        return (static_cast<unsigned char>(blocks[at / kBlockSize][at % kBlockSize]) & 0x7Fu) + 1;
    }
    // Adds the row reference `ref` at row `at`, changing how the column holds its
    // references when `ref` requires it.
    void insertRef(size_t at, TextRef ref);
    void pushNullText()
    {
        if (borrowed)
            views.emplace_back();
        else
            pushRef(column::kNullText);
    }
    void pushRef(TextRef ref)
    {
        using namespace column;
        if (stride == 0 && wideRefs)
            wide.push_back(ref);
        else if (stride == 0 && ref == kNullText)
            narrow.push_back(kNullNarrow);
        else if (stride == 0 && ref < kNullNarrow)
            narrow.push_back(static_cast<NarrowRef>(ref));
        else if (stride != 0 && ref == slotRef(slots, stride, shift) && bytesAt(ref) == stride)
            ++slots;
        else
            insertRef(textRows(), ref);
    }
    // Appends the bytes (at most column::kMaxText) and returns their reference.
    TextRef storeText(std::string_view text);
    double number(size_t row) const; // NaN for null
    void insertNumber(size_t at, double value);
    void pushNumber(double value)
    {
        insertNumber(inDoubles ? doubles.size() : hundredths.size(), value);
    }
    void pushHundredths(int32_t h)
    {
        if (inDoubles)
            doubles.push_back(static_cast<double>(h) / 100);
        else
            hundredths.push_back(h);
    }
    TextColumn textView() const
    {
        if (borrowed)
            return TextColumn(views.data());
        return TextColumn(narrow.data(), wideRefs ? wide.data() : nullptr, stride, shift,
                          blocks.data());
    }
    NumberColumn numberView() const
    {
        return NumberColumn(hundredths.data(), inDoubles ? doubles.data() : nullptr);
    }
};

// A table's columns, its rows and the faults of its values. Rows are added a
// value at a time into each column, then ended with endRow().
class ColumnStore
{
  public:
    explicit ColumnStore(std::vector<ColumnDef> defs) : defs_(std::move(defs)), data_(defs_.size())
    {
    }
    const std::vector<ColumnDef>& defs() const { return defs_; }
    size_t rows() const { return rows_; }
    ColumnData& data(size_t column) { return data_[column]; }
    const ColumnData& data(size_t column) const { return data_[column]; }
    const std::vector<ValueFault>& faults() const { return faults_; }

    // Stores a text of column `column` of the row being added, noting a fault when
    // it is longer than the column; a value equal to the row above's shares its bytes.
    column::TextRef storeChecked(int column, std::string_view text);
    // Texts borrowed where they lie rather than copied in, for a store handed on
    // a piece at a time and read before the piece's bytes go; a clear keeps it so.
    void borrowTexts(bool on);
    bool borrowing() const { return borrowing_; }
    // Borrows a text of column `column` of the row being added: a fault when it is
    // longer than the column, and cut as storeChecked cuts it. `copy` keeps a copy
    // until the store is cleared, for a text that lies nowhere lasting;
    // `separator` tells that it may hold a separator.
    void borrowText(int column, std::string_view text, bool separator, bool copy)
    {
        if (text.size() > static_cast<size_t>(defs_[static_cast<size_t>(column)].size)) [[unlikely]]
            text = tooLong(column, text);
        ColumnData& c = data_[static_cast<size_t>(column)];
        c.views.push_back(copy ? keep(text) : text);
        c.separator = c.separator || separator;
    }
    // Whether some text of the column may hold a separator (column::kSeparators):
    // where borrowed, as its loading told it.
    bool mayHoldSeparator(int column) const
    {
        const ColumnData& c = data_[static_cast<size_t>(column)];
        return c.borrowed ? c.separator : columnHoldsAnyOf(column, column::kSeparators);
    }
    // A value of the row being added that Windows-1252 cannot hold, at `position`.
    void noteNotWindows1252(int column, size_t position)
    {
        faults_.push_back({static_cast<uint32_t>(rows_), static_cast<uint16_t>(column),
                           ValueFault::NotWindows1252, static_cast<uint32_t>(position)});
    }
    void endRow() { ++rows_; }
    // Adds a row at `at` with every column null but `column`.
    void insertRow(size_t at, int column, std::string_view value);
    void clear();
    // The same, keeping the room taken, for the next piece of the same rows.
    void clearKeepingRoom();
    // Room for `rows` rows in every column; below the rows held, lets go of the spare room.
    void reserveRows(size_t rows);
    size_t memoryUsed() const;
    bool columnHoldsAnyOf(int column, std::string_view bytes) const;

    // Equal bytes, for the short texts of a row: a word at a time, no library call.
    static bool sameText(std::string_view a, std::string_view b)
    {
        const size_t n = a.size();
        if (n != b.size())
            return false;
        if (n < 8) {
            unsigned diff = 0;
            for (size_t i = 0; i < n; ++i)
                diff |= static_cast<unsigned>(a[i] ^ b[i]);
            return diff == 0;
        }
        uint64_t x, y, diff = 0;
        for (size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            diff |= x ^ y;
        }
        std::memcpy(&x, a.data() + n - 8, 8); // the last eight, overlapping what came before
        std::memcpy(&y, b.data() + n - 8, 8);
        return (diff | (x ^ y)) == 0;
    }

  private:
    // Notes the fault of a text longer than its column; what is held of it.
    std::string_view tooLong(int column, std::string_view text);
    std::string_view keep(std::string_view text);

    std::vector<ColumnDef> defs_;
    std::vector<ColumnData> data_;
    std::vector<ValueFault> faults_;
    size_t rows_ = 0;
    bool borrowing_ = false;
    // Copies of borrowed texts, in blocks that keep their place.
    static constexpr size_t kKeptBlock = size_t{1} << 16;
    std::vector<std::unique_ptr<char[]>> kept_;
    size_t keptBlock_ = 0; // the block being filled
    size_t keptUsed_ = 0;
};

} // namespace dotz
