#include "table.h"

#include "base/error.h"
#include "export/column_store.h"
#include "export/numbers.h"
#include "export/packet_loader.h"

#include <cmath>
#include <limits>

namespace dotz {

Table::Table(std::string name, std::vector<ColumnDef> columns)
    : name_(std::move(name)), store_(std::make_unique<ColumnStore>(std::move(columns)))
{
}

Table::~Table() = default;
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;

const std::vector<ColumnDef>& Table::columns() const
{
    return store_->defs();
}

size_t Table::rowCount() const
{
    return store_->rows();
}

const std::vector<ValueFault>& Table::valueFaults() const
{
    return store_->faults();
}

size_t Table::memoryUsed() const
{
    return store_->memoryUsed();
}

int Table::column(std::string_view name) const
{
    const auto& defs = columns();
    for (size_t i = 0; i < defs.size(); ++i)
        if (defs[i].name == name)
            return static_cast<int>(i);
    throw Error("table " + name_ + " has no column " + std::string(name));
}

void Table::checkColumn(int column) const
{
    if (column < 0 || static_cast<size_t>(column) >= columns().size())
        throw Error("table " + name_ + " has no column number " + std::to_string(column));
}

const ColumnDef& Table::checkedDef(int column, ColumnType type) const
{
    checkColumn(column);
    const ColumnDef& def = columns()[static_cast<size_t>(column)];
    if (def.type != type)
        throw Error(
            "column " + def.name + " of table " + name_ +
            (type == ColumnType::Text ? " is not a text column" : " is not a number column"));
    return def;
}

void Table::loadPacket(const Packet& packet)
{
    store_->clear();
    row_ = 0;
    eof_ = true;
    try {
        loadPacketInto(*store_, name_, packet);
    } catch (...) {
        store_->clear();
        throw;
    }
    first();
}

void Table::first()
{
    row_ = 0;
    eof_ = rowCount() == 0;
}

void Table::next()
{
    if (rowCount() == 0 || row_ + 1 >= rowCount())
        eof_ = true;
    else
        ++row_;
}

void Table::toEnd()
{
    row_ = rowCount() ? rowCount() - 1 : 0;
    eof_ = true;
}

std::string_view Table::textAt(size_t row, int column) const
{
    checkedDef(column, ColumnType::Text);
    const ColumnData& c = store_->data(static_cast<size_t>(column));
    return row < rowCount() ? c.text(c.ref(row)) : std::string_view{};
}

double Table::numberAt(size_t row, int column) const
{
    checkedDef(column, ColumnType::Number);
    if (row >= rowCount())
        return 0;
    const double v = store_->data(static_cast<size_t>(column)).number(row);
    return std::isnan(v) ? 0 : v;
}

bool Table::isNullAt(size_t row, int column) const
{
    checkColumn(column);
    if (row >= rowCount())
        return true;
    const ColumnData& c = store_->data(static_cast<size_t>(column));
    if (columns()[static_cast<size_t>(column)].type == ColumnType::Number)
        return std::isnan(c.number(row));
    return c.ref(row) == column::kNullText;
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
    if (columns()[static_cast<size_t>(column)].type == ColumnType::Text)
        return std::string(textAt(row_, column));
    if (isNullAt(row_, column))
        return {};
    return generalText(numberAt(row_, column));
}

Table::TextColumn Table::textColumn(int column) const
{
    checkedDef(column, ColumnType::Text);
    return store_->data(static_cast<size_t>(column)).textView();
}

Table::NumberColumn Table::numberColumn(int column) const
{
    checkedDef(column, ColumnType::Number);
    return store_->data(static_cast<size_t>(column)).numberView();
}

bool Table::columnHoldsAnyOf(int column, std::string_view bytes) const
{
    checkColumn(column);
    return store_->columnHoldsAnyOf(column, bytes);
}

void Table::createEmpty()
{
    empty();
    created_ = true;
}

void Table::empty()
{
    store_->clear();
    row_ = 0;
    eof_ = true;
}

bool Table::find(int column, std::string_view value)
{
    checkColumn(column);
    for (size_t r = 0; r < rowCount(); ++r) {
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
    checkedDef(column, ColumnType::Text);
    const size_t at = rowCount() == 0 ? 0 : row_;
    store_->insertRow(at, column, value);
    row_ = at;
    eof_ = false;
}

void Table::appendRow(std::vector<Value> values)
{
    const auto& defs = columns();
    if (values.size() != defs.size())
        throw Error("table " + name_ + ": a row needs " + std::to_string(defs.size()) +
                    " values, got " + std::to_string(values.size()));
    for (size_t i = 0; i < defs.size(); ++i) {
        const Value& v = values[i];
        ColumnData& c = store_->data(i);
        const bool wantText = defs[i].type == ColumnType::Text;
        if (v.kind != Value::Null && (v.kind == Value::Text) != wantText)
            throw Error("table " + name_ + ": wrong kind of value for column " + defs[i].name);
        if (wantText)
            c.pushRef(v.kind == Value::Null ? column::kNullText
                                            : store_->storeChecked(static_cast<int>(i), v.text));
        else
            c.pushNumber(v.kind == Value::Null ? std::numeric_limits<double>::quiet_NaN()
                                               : v.number);
    }
    store_->endRow();
    if (rowCount() == 1)
        first();
}

} // namespace dotz
