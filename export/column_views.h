#pragma once
// What a table's reader sees of its columns: their declarations, the values no
// file can carry, and fast read-only views for loops over millions of rows. The
// views read the column store's encoding directly (column_store.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dotz {

enum class ColumnType { Text, Number };

struct ColumnDef
{
    std::string name;
    ColumnType type;
    int size = 0; // most characters, text only
};

// A text that loaded but that no file can carry: longer than its column, or with
// a character that Windows-1252 cannot hold. The table keeps it (cut to
// column::kMaxText bytes, "?" for what Windows-1252 lacks) so that only a use of
// the value refuses; the writer never writes it.
struct ValueFault
{
    enum Kind : uint8_t { TooLong, NotWindows1252 };
    uint32_t row; // from 0
    uint16_t column;
    Kind kind;
    uint32_t position; // TooLong: its length in characters; else the character, from 0
};

// How the column store holds values; shared by the store and the views.
namespace column {
// Longest text a column can hold, in bytes.
constexpr size_t kMaxText = 127;
// Text values live in blocks of at most kBlockSize bytes, so growing a column
// never copies what it already holds (a table can hold millions of rows).
constexpr size_t kBlockSize = size_t{1} << 20;
// A text value is a reference to its bytes in the column's blocks, where a length
// byte precedes them; a column holds at most 4 GiB (the export run's pieces a
// few MiB, whatever the size of the day). The length byte has its high bit set,
// so that a raw scan of a block for the bytes below 0x80 sees text bytes only.
using TextRef = uint32_t;
constexpr TextRef kNullText = UINT32_MAX;
// References take 2 bytes while the column's texts fit in 64 KiB (a branch's
// code, folder or date repeats row after row and is held once per run), 4 after.
using NarrowRef = uint16_t;
constexpr NarrowRef kNullNarrow = UINT16_MAX;
// A number is held in hundredths, 4 bytes, while every value of its column is
// exactly such a number (quantities, prices, points): the quotient by 100 gives
// back the very double that was read. The first value that is not makes the
// column hold doubles.
constexpr int32_t kNullHundredths = INT32_MIN;
// Past 64 KiB, a column whose values all have one length, none null or shared (a
// receipt number, a customer code), holds no references at all: row r's bytes
// are slot r, of `stride` bytes, 2^shift slots a block.
inline TextRef slotRef(size_t row, uint32_t stride, uint32_t shift)
{
    return static_cast<TextRef>((row >> shift) * kBlockSize +
                                (row & ((size_t{1} << shift) - 1)) * stride);
}
// The bytes no DOTZ record carries inside a field.
constexpr std::string_view kSeparators = "|\r\n";
inline std::string_view textAt(const std::unique_ptr<char[]>* blocks, TextRef ref)
{
    if (ref == kNullText)
        return {};
    const char* at = blocks[ref / kBlockSize].get() + ref % kBlockSize;
    return {at + 1, static_cast<unsigned char>(*at) & 0x7Fu};
}
} // namespace column

class TextColumn
{
  public:
    TextColumn(const column::NarrowRef* narrow, const column::TextRef* wide, uint32_t stride,
               uint32_t shift, const std::unique_ptr<char[]>* blocks)
        : narrow_(narrow), wide_(wide), stride_(stride), shift_(shift), blocks_(blocks)
    {
    }
    // Texts borrowed where they lie; a null has no data.
    explicit TextColumn(const std::string_view* views) : views_(views) {}
    std::string_view operator[](size_t row) const
    {
        using namespace column;
        if (views_)
            return views_[row];
        const TextRef ref = stride_                       ? slotRef(row, stride_, shift_)
                            : wide_                       ? wide_[row]
                            : narrow_[row] == kNullNarrow ? kNullText
                                                          : narrow_[row];
        return textAt(blocks_, ref);
    }
    bool isNull(size_t row) const
    {
        if (views_)
            return views_[row].data() == nullptr;
        return stride_ == 0 &&
               (wide_ ? wide_[row] == column::kNullText : narrow_[row] == column::kNullNarrow);
    }

  private:
    const column::NarrowRef* narrow_ = nullptr;
    const column::TextRef* wide_ = nullptr; // null while the references are narrow
    uint32_t stride_ = 0;                   // not 0 while the texts are in slots
    uint32_t shift_ = 0;
    const std::unique_ptr<char[]>* blocks_ = nullptr;
    const std::string_view* views_ = nullptr; // the texts when borrowed
};

class NumberColumn
{
  public:
    NumberColumn(const int32_t* hundredths, const double* doubles)
        : hundredths_(hundredths), doubles_(doubles)
    {
    }
    // A null reads as 0.
    double operator[](size_t row) const
    {
        if (doubles_)
            return doubles_[row] != doubles_[row] ? 0 : doubles_[row]; // NaN marks null
        return hundredths_[row] == column::kNullHundredths
                   ? 0
                   : static_cast<double>(hundredths_[row]) / 100;
    }
    bool isNull(size_t row) const
    {
        return doubles_ ? doubles_[row] != doubles_[row]
                        : hundredths_[row] == column::kNullHundredths;
    }
    // The value in hundredths (a null as 0) while the column holds them.
    bool hundredthsAt(size_t row, int32_t& h) const
    {
        if (doubles_)
            return false;
        h = hundredths_[row] == column::kNullHundredths ? 0 : hundredths_[row];
        return true;
    }

  private:
    const int32_t* hundredths_;
    const double* doubles_; // null while the column holds hundredths
};

} // namespace dotz
