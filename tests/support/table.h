#pragma once
// In-memory export tables: typed columns, a cursor, and the operations the export
// needs. Text is held as Windows-1252 bytes. Rows keep the order they were loaded
// or inserted in; nothing sorts or indexes them.
#include "base/packet.h"
#include "export/column_views.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

class ColumnStore;

class Table
{
  public:
    static constexpr size_t kMaxText = column::kMaxText;
    using ValueFault = dotz::ValueFault;
    using TextColumn = dotz::TextColumn;
    using NumberColumn = dotz::NumberColumn;

    Table(std::string name, std::vector<ColumnDef> columns);
    ~Table();
    Table(Table&&) noexcept;
    Table& operator=(Table&&) noexcept;

    const std::string& name() const { return name_; }
    const std::vector<ColumnDef>& columns() const;
    // Index of a declared column; throws dotz::Error naming table and column.
    int column(std::string_view name) const;

    // Replaces the whole content by the packet's rows; the cursor goes to the first
    // row. On a refused packet the table is left empty and dotz::Error names the
    // table, the column and the row (from 1).
    void loadPacket(const Packet& packet);

    size_t rowCount() const;
    // Bytes the table holds for its rows: value references, text blocks, numbers, faults.
    size_t memoryUsed() const;
    bool isEmpty() const { return rowCount() == 0; }
    void first();
    void next();
    // Where a walk with next() ends: on the last row, at eof.
    void toEnd();
    bool eof() const { return eof_ || rowCount() == 0; }
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
    TextColumn textColumn(int column) const;
    NumberColumn numberColumn(int column) const;

    // In row order.
    const std::vector<ValueFault>& valueFaults() const;
    // The rows as the file writer reads them.
    const ColumnStore& store() const { return *store_; }

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
    void checkColumn(int column) const;
    const ColumnDef& checkedDef(int column, ColumnType type) const;

    std::string name_;
    std::unique_ptr<ColumnStore> store_;
    size_t row_ = 0;
    bool eof_ = true;
    bool created_ = false;
};

} // namespace dotz
