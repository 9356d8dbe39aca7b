#pragma once
// In-memory export tables: typed columns, a cursor, and the operations the export
// needs. Text is held as Windows-1252 bytes. Rows keep the order they were loaded
// or inserted in; nothing sorts or indexes them.
#include "packet.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

enum class ColumnType { Text, Number };

struct ColumnDef
{
    std::string name;
    ColumnType type;
    int size = 0; // most characters, text only
};

class Table
{
  public:
    // Longest text a column can hold, in bytes.
    static constexpr size_t kMaxText = 127;

    Table(std::string name, std::vector<ColumnDef> columns);

    const std::string& name() const { return name_; }
    const std::vector<ColumnDef>& columns() const { return defs_; }
    // Index of a declared column; throws dotz::Error naming table and column.
    int column(std::string_view name) const;

    // Replaces the whole content by the packet's rows; the cursor goes to the first
    // row. On a refused packet the table is left empty and dotz::Error names the
    // table, the column and the row (from 1).
    void loadPacket(const Packet& packet);

    size_t rowCount() const { return rows_; }
    // Bytes the table holds for its rows: value references, text blocks, numbers, faults.
    size_t memoryUsed() const;
    bool isEmpty() const { return rows_ == 0; }
    void first();
    void next();
    bool eof() const { return eof_ || rows_ == 0; }
    size_t currentRow() const { return row_; }

    // Current row's value. A null reads as "" / 0. A number column reads as text
    // in its general form ("2,5").
    std::string asText(int column) const;
    // Zero-copy view of a text column's value (empty for null).
    std::string_view textView(int column) const;
    double asNumber(int column) const;
    bool isNull(int column) const;

    // Row access without moving the cursor (the writer walks rows by index).
    std::string_view textAt(size_t row, int column) const;
    double numberAt(size_t row, int column) const;
    bool isNullAt(size_t row, int column) const;

    // Fast read-only views of one column, for loops over millions of rows.
    class TextColumn;
    class NumberColumn;
    TextColumn textColumn(int column) const;
    NumberColumn numberColumn(int column) const;

    // A text that loaded but that no file can carry: longer than its column, or
    // with a character that Windows-1252 cannot hold. The table keeps it (cut to
    // kMaxText bytes, "?" for what Windows-1252 lacks) so that only a use of the
    // value refuses; the writer never writes it.
    struct ValueFault
    {
        enum Kind : uint8_t { TooLong, NotWindows1252 };
        uint32_t row; // from 0
        uint16_t column;
        Kind kind;
        uint32_t position; // TooLong: its length in characters; else the character, from 0
    };
    // In row order.
    const std::vector<ValueFault>& valueFaults() const { return faults_; }

    // Whether any value of a text column holds one of `bytes` (ASCII): a quick scan
    // of the column's storage, before looking for the row.
    bool columnHoldsAnyOf(int column, std::string_view bytes) const;

    // Working sets: usable with no rows, emptied, searched and grown.
    void createEmpty();
    bool created() const { return created_; }
    void empty();
    // Moves the cursor to the first row whose column equals `value` exactly;
    // otherwise leaves the cursor where it was.
    bool find(int column, std::string_view value);
    // Adds a row before the current row (as the only row when empty), with every
    // column null but `column`; the new row becomes current.
    void insert(int column, std::string_view value);

    // Appends a row (tests and generators); values are Windows-1252 texts or
    // numbers, nulls by the null flags. A text longer than its column is a value
    // fault, as when loaded.
    struct Value
    {
        enum Kind { Null, Text, Number } kind = Null;
        std::string text;
        double number = 0;
        Value() = default;
        Value(std::nullptr_t) {}
        Value(const char* t) : kind(t ? Text : Null), text(t ? t : "") {}
        Value(std::string t) : kind(Text), text(std::move(t)) {}
        Value(double n) : kind(Number), number(n) {}
        Value(int n) : kind(Number), number(n) {}
    };
    void appendRow(std::vector<Value> values);

  private:
    friend class PacketLoader;
    // Text values live in blocks of at most kBlockSize bytes, so growing a column
    // never copies what it already holds (a day can bring millions of rows). A
    // column's first block starts small and grows to full size: a small day's
    // columns take a few KiB each, not a block each.
    static constexpr size_t kBlockSize = size_t{1} << 20;
    static constexpr size_t kFirstBlock = size_t{1} << 12;
    // A text value is a reference to its bytes in the column's blocks, where a
    // length byte precedes them; a day's columns stay well under 4 GiB. The length
    // byte has its high bit set, so that a raw scan of a block for the bytes below
    // 0x80 sees text bytes only.
    using TextRef = uint32_t;
    static constexpr TextRef kNullText = UINT32_MAX;
    // References take 2 bytes while the column's texts fit in 64 KiB (a branch's
    // code, folder or date repeats row after row and is held once per run), 4 after.
    using NarrowRef = uint16_t;
    static constexpr NarrowRef kNullNarrow = UINT16_MAX;
    // A number is held in hundredths, 4 bytes, while every value of its column is
    // exactly such a number (quantities, prices, points): the quotient by 100
    // gives back the very double that was read. The first value that is not makes
    // the column hold doubles.
    static constexpr int32_t kNullHundredths = INT32_MIN;
    // Past 64 KiB, a column whose values all have one length, none null or shared
    // (a receipt number, a customer code), holds no references at all: row r's
    // bytes are slot r, of `stride` bytes, 2^shift slots a block. The first value
    // that breaks this gives every row its 4-byte reference.
    static TextRef slotRef(size_t row, uint32_t stride, uint32_t shift)
    {
        return static_cast<TextRef>((row >> shift) * kBlockSize +
                                    (row & ((size_t{1} << shift) - 1)) * stride);
    }
    struct ColumnData
    {
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

        TextRef ref(size_t row) const
        {
            if (stride)
                return slotRef(row, stride, shift);
            if (wideRefs)
                return wide[row];
            return narrow[row] == kNullNarrow ? kNullText : narrow[row];
        }
        size_t textRows() const { return stride ? slots : wideRefs ? wide.size() : narrow.size(); }
        TextRef lastRef() const { return ref(textRows() - 1); }
        // Bytes of the value at `ref`, its length byte included.
        uint32_t bytesAt(TextRef ref) const
        {
            return (static_cast<unsigned char>(blocks[ref / kBlockSize][ref % kBlockSize]) &
                    0x7Fu) +
                   1;
        }
        // Adds the row reference `ref` at row `at`, changing how the column holds its
        // references when `ref` requires it.
        void insertRef(size_t at, TextRef ref);
        void pushRef(TextRef ref)
        {
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
    };
    static TextRef storeText(ColumnData& c, std::string_view text);
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
    static std::string_view refText(const ColumnData& c, TextRef ref);
    // Stores a text of column `column` of the row being added, noting a fault when
    // it is longer than the column; a value equal to the row above's shares its bytes.
    TextRef storeChecked(int column, std::string_view text);
    void clear();
    // Room for `rows` rows in every column; below the rows held, lets go of the spare room.
    void reserveRows(size_t rows);
    void checkColumn(int column) const;

    std::string name_;
    std::vector<ColumnDef> defs_;
    std::vector<ColumnData> data_;
    std::vector<ValueFault> faults_;
    size_t rows_ = 0;
    size_t row_ = 0;
    bool eof_ = true;
    bool created_ = false;
};

class Table::TextColumn
{
  public:
    std::string_view operator[](size_t row) const
    {
        const TextRef ref = stride_                       ? slotRef(row, stride_, shift_)
                            : wide_                       ? wide_[row]
                            : narrow_[row] == kNullNarrow ? kNullText
                                                          : narrow_[row];
        if (ref == kNullText)
            return {};
        const char* at = blocks_[ref / kBlockSize].get() + ref % kBlockSize;
        return {at + 1, static_cast<unsigned char>(*at) & 0x7Fu};
    }
    bool isNull(size_t row) const
    {
        return stride_ == 0 && (wide_ ? wide_[row] == kNullText : narrow_[row] == kNullNarrow);
    }

  private:
    friend class Table;
    explicit TextColumn(const ColumnData& c)
        : narrow_(c.narrow.data()), wide_(c.wideRefs ? c.wide.data() : nullptr), stride_(c.stride),
          shift_(c.shift), blocks_(c.blocks.data())
    {
    }
    const NarrowRef* narrow_;
    const TextRef* wide_; // null while the references are narrow
    uint32_t stride_;     // not 0 while the texts are in slots
    uint32_t shift_;
    const std::unique_ptr<char[]>* blocks_;
};

class Table::NumberColumn
{
  public:
    // A null reads as 0.
    double operator[](size_t row) const
    {
        if (doubles_)
            return doubles_[row] != doubles_[row] ? 0 : doubles_[row]; // NaN marks null
        return hundredths_[row] == kNullHundredths ? 0
                                                   : static_cast<double>(hundredths_[row]) / 100;
    }
    bool isNull(size_t row) const
    {
        return doubles_ ? doubles_[row] != doubles_[row] : hundredths_[row] == kNullHundredths;
    }

  private:
    friend class Table;
    NumberColumn(const int32_t* hundredths, const double* doubles)
        : hundredths_(hundredths), doubles_(doubles)
    {
    }
    const int32_t* hundredths_;
    const double* doubles_; // null while the column holds hundredths
};

} // namespace dotz
