#pragma once
// A packet's columns and rows decoded into a table's column store, a row at a
// time: the packet loader's parts, whether it reads a packet whole or in pieces.
#include "column_store.h"

#include <simdjson.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::packet_rows {

// Structural faults of a packet end its load; the operator reads them: dotz::Error
// naming the table `t`, the column and the row (from 1; 0 for none).
[[noreturn]] void fail(const std::string& t, std::string_view column, size_t row,
                       const std::string& what, std::string detail = {});
[[noreturn, gnu::noinline]] void failed(const std::string& t, simdjson::error_code e,
                                        std::string_view column, size_t row, std::string_view what);

inline void check(const std::string& t, simdjson::error_code e, std::string_view column, size_t row,
                  std::string_view what)
{
    if (e != simdjson::SUCCESS) [[unlikely]]
        failed(t, e, column, row, what);
}

// Which packet column feeds which table column: -1 for a column not declared.
std::vector<int> readColumns(const std::string& t, simdjson::ondemand::array cols,
                             const std::vector<ColumnDef>& defs);

// The rows of one packet into the store, one at a time, whether the packet is
// read whole or a piece at a time.
class RowLoader
{
  public:
    // `rowsEnd`: where the rows list ends, for the room the store takes ahead;
    // 0 where the store holds a piece at a time.
    RowLoader(ColumnStore& store, const std::string& t, std::vector<int> target, size_t rowsEnd)
        : store_(store), t_(t), defs_(store.defs()), target_(std::move(target)),
          above_(defs_.size()), rowsEnd_(rowsEnd)
    {
    }

    // The rows that follow lie in a buffer whose `base` is the packet's byte `offset`.
    void piece(const char* base, size_t offset)
    {
        base_ = base;
        offset_ = offset;
        // What the rows above held lay in the piece before.
        std::fill(above_.begin(), above_.end(), Above{});
    }
    size_t rows() const { return rowNo_; }
    // The store let its rows go: nothing above is held any more.
    void storeCleared() { std::fill(above_.begin(), above_.end(), Above{}); }

    // Loads the next row; gives where it starts.
    const char* row(simdjson::simdjson_result<simdjson::ondemand::value> r);

    // The rows of a piece, `row,row,...` in [p, end), read straight from their
    // bytes where they lie, where they are written as the server writes them:
    // compact, texts without escapes, plain numbers, nulls. Up to
    // json_tokens::kReadsPast bytes past `end` are read, never used.
    // At the first thing it does not read plainly (any fault among them) it
    // gives false with the store and the row count as they were, and the
    // decoder reads the piece, as it would have, to say what is wrong. Only
    // into an empty store that holds a piece at a time.
    bool plainRows(const char* p, const char* end);

    // The first byte still needed once the rows before `row` are in: a text the
    // next row compares against lies above it.
    const char* oldestHeld(const char* row) const
    {
        for (const Above& a : above_)
            if (!a.raw.empty())
                row = std::min(row, a.raw.data());
        return row;
    }

  private:
    size_t offsetOf(const char* p) const { return offset_ + static_cast<size_t>(p - base_); }
    // Rows the packet holds, judged by its first ones.
    size_t estimateRows(size_t afterSample) const;
    void value(int tc, simdjson::ondemand::value& val);
    // The row above's text again, by its raw token: its bytes are shared.
    bool sharedWithAbove(int tc, std::string_view tok);
    void pushNull(int tc);
    // A text's bytes between its quotes, `utf8` once unescaped; `holds` from scanRaw.
    void text(int tc, std::string_view tok, std::string_view utf8, unsigned holds);
    // The same text, row above's first, `holds` from scanRaw; false where it needs the decoder.
    bool plainText(int tc, std::string_view tok, unsigned holds);
    // A number or null; false where it needs the decoder.
    bool plainScalar(int tc, std::string_view tok);

    // The raw token of the row above's text when it loaded without a fault: the
    // same token again is the same value, and shares its bytes as is. `ref` is
    // kNullText when there is none (where texts are borrowed, any other value
    // means the column's last view is that text).
    struct Above
    {
        std::string_view raw;
        column::TextRef ref = column::kNullText;
    };
    ColumnStore& store_;
    const std::string& t_;
    const std::vector<ColumnDef>& defs_;
    std::vector<int> target_;
    std::vector<Above> above_;
    std::string scratch_;
    std::string unescaped_;
    size_t rowsEnd_;
    size_t rowNo_ = 0;
    size_t firstRow_ = 0;
    const char* base_ = nullptr;
    size_t offset_ = 0;
};

} // namespace dotz::packet_rows
