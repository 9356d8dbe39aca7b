// Decoding a packet's JSON straight into a table's columns, without a tree of the
// document: a day's packet can hold millions of rows.
#include "cp1252.h"
#include "error.h"
#include "table.h"

#include <simdjson.h>

#include <cmath>
#include <limits>

namespace dotz {

class PacketLoader {
public:
    static void load(Table& t, const Packet& packet);
};

namespace {

using simdjson::ondemand::json_type;

[[noreturn]] void fail(const Table& t, std::string_view column, size_t row, const std::string& what)
{
    std::string msg = "table " + t.name();
    if (!column.empty())
        msg += ", column " + std::string(column);
    if (row)
        msg += ", row " + std::to_string(row);
    throw Error(msg + ": " + what);
}

[[noreturn, gnu::noinline]] void failed(const Table& t, simdjson::error_code e,
                                        std::string_view column, size_t row, std::string_view what)
{
    if (e == simdjson::INCORRECT_TYPE)
        fail(t, column, row, std::string(what));
    fail(t, column, row, std::string(what) + " (" + simdjson::error_message(e) + ")");
}

inline void check(const Table& t, simdjson::error_code e, std::string_view column, size_t row,
                  std::string_view what)
{
    if (e != simdjson::SUCCESS) [[unlikely]]
        failed(t, e, column, row, what);
}

std::string jsonKind(json_type k)
{
    switch (k) {
    case json_type::array: return "an array";
    case json_type::object: return "an object";
    case json_type::number: return "a number";
    case json_type::string: return "a string";
    case json_type::boolean: return "a boolean";
    case json_type::null: return "null";
    }
    return "an unknown value";
}

bool isPlainAscii(std::string_view s)
{
    unsigned char acc = 0;
    for (char c : s)
        acc |= static_cast<unsigned char>(c);
    return acc < 0x80;
}

} // namespace

void PacketLoader::load(Table& t, const Packet& packet)
{
    if (packet.isNull())
        fail(t, {}, 0, "no packet was given");
    // A parser of its own per load: its buffers grow with the packet, and the host
    // should not keep a large day's worth of them after the export.
    simdjson::ondemand::parser parser;
    const std::string_view json = packet.json();
    simdjson::padded_string copy;
    const char* buf = json.data();
    size_t capacity = packet.readable();
    if (capacity < json.size() + simdjson::SIMDJSON_PADDING) {
        copy = simdjson::padded_string(json);
        buf = copy.data();
        capacity = copy.size() + simdjson::SIMDJSON_PADDING;
    }
    if (json.size() > parser.capacity())
        check(t, parser.allocate(json.size()), {}, 0, "packet too large to decode");

    simdjson::ondemand::document doc;
    check(t, parser.iterate(buf, json.size(), capacity).get(doc), {}, 0, "packet is not JSON");
    simdjson::ondemand::object root;
    check(t, doc.get_object().get(root), {}, 0, "packet is not a JSON object");

    // Columns: which packet position feeds which table column.
    const auto& defs = t.defs_;
    std::vector<int> target; // per packet column: table column, or -1 when not declared
    std::vector<bool> present(defs.size(), false);
    simdjson::ondemand::array cols;
    check(t, root.find_field_unordered("columns").get_array().get(cols), {}, 0,
          "packet has no \"columns\" array");
    for (auto c : cols) {
        simdjson::ondemand::object col;
        check(t, c.get_object().get(col), {}, 0, "a column description is not an object");
        std::string_view name, type;
        check(t, col.find_field_unordered("name").get_string().get(name), {}, 0,
              "a column description has no \"name\"");
        std::string colName(name);
        check(t, col.find_field_unordered("type").get_string().get(type), colName, 0,
              "column description has no \"type\"");
        if (type != "text" && type != "number")
            fail(t, colName, 0, "unknown column type \"" + std::string(type) + "\"");
        int index = -1;
        for (size_t i = 0; i < defs.size(); ++i)
            if (defs[i].name == colName)
                index = static_cast<int>(i);
        if (index >= 0) {
            if (present[static_cast<size_t>(index)])
                fail(t, colName, 0, "column appears twice in the packet");
            present[static_cast<size_t>(index)] = true;
            const ColumnType want = defs[static_cast<size_t>(index)].type;
            const ColumnType got = type == "text" ? ColumnType::Text : ColumnType::Number;
            if (want != got)
                fail(t, colName, 0,
                     std::string("column is ") + std::string(type) + " in the packet, " +
                         (want == ColumnType::Text ? "text" : "number") + " expected");
        }
        target.push_back(index);
    }
    for (size_t i = 0; i < defs.size(); ++i)
        if (!present[i])
            fail(t, defs[i].name, 0, "column is missing from the packet");

    simdjson::ondemand::array rows;
    check(t, root.find_field_unordered("rows").get_array().get(rows), {}, 0,
          "packet has no \"rows\" array");
    std::string scratch;
    size_t rowNo = 0;
    for (auto r : rows) {
        ++rowNo;
        simdjson::ondemand::array row;
        check(t, r.get_array().get(row), {}, rowNo, "row is not a JSON array");
        size_t k = 0;
        for (auto v : row) {
            simdjson::ondemand::value val;
            check(t, v.get(val), {}, rowNo, "row is not valid JSON");
            if (k >= target.size())
                fail(t, {}, rowNo,
                     "row has more values than the packet's " + std::to_string(target.size()) +
                         " columns");
            const int tc = target[k++];
            if (tc < 0)
                continue; // undeclared column: skipped by the parser
            const ColumnDef& def = defs[static_cast<size_t>(tc)];
            Table::ColumnData& data = t.data_[static_cast<size_t>(tc)];
            json_type kind = json_type::null;
            check(t, val.type().get(kind), def.name, rowNo, "value is not valid JSON");
            if (kind == json_type::null) {
                bool isNull = false;
                check(t, val.is_null().get(isNull), def.name, rowNo, "value is not valid JSON");
                if (!isNull)
                    fail(t, def.name, rowNo, "value is not valid JSON");
                if (def.type == ColumnType::Text)
                    data.texts.push_back(Table::kNullText);
                else
                    data.numbers.push_back(std::numeric_limits<double>::quiet_NaN());
                continue;
            }
            if (def.type == ColumnType::Number) {
                if (kind != json_type::number)
                    fail(t, def.name, rowNo, "a number was expected, found " + jsonKind(kind));
                double d = 0;
                check(t, val.get_double().get(d), def.name, rowNo, "number cannot be read");
                if (!std::isfinite(d))
                    fail(t, def.name, rowNo, "number out of range");
                data.numbers.push_back(d);
                continue;
            }
            if (kind != json_type::string)
                fail(t, def.name, rowNo, "a text was expected, found " + jsonKind(kind));
            // The raw token is the string's bytes between its quotes unless it holds
            // escapes; only then does the parser unescape it.
            std::string_view tok = val.raw_json_token();
            tok = tok.substr(1, tok.rfind('"') - 1);
            std::string_view utf8 = tok;
            if (tok.find('\\') != std::string_view::npos) {
                check(t, val.get_string().get(utf8), def.name, rowNo, "text cannot be read");
            } else {
                for (char c : tok)
                    if (static_cast<unsigned char>(c) < 0x20)
                        fail(t, def.name, rowNo, "text holds an unescaped control character");
            }
            std::string_view held = utf8;
            if (!isPlainAscii(utf8)) {
                scratch.clear();
                if (auto bad = cp1252::appendFromUtf8(utf8, scratch)) {
                    fail(t, def.name, rowNo,
                         "character " + std::to_string(*bad + 1) +
                             " of the text cannot be held in Windows-1252");
                }
                held = scratch;
            }
            if (held.size() > static_cast<size_t>(def.size))
                fail(t, def.name, rowNo,
                     "text of " + std::to_string(held.size()) +
                         " characters is longer than the column's width of " +
                         std::to_string(def.size));
            // Branch-level values repeat row after row: they share one copy.
            if (!data.texts.empty() && data.texts.back() != Table::kNullText &&
                Table::refText(data, data.texts.back()) == held)
                data.texts.push_back(data.texts.back());
            else
                data.texts.push_back(Table::storeText(data, held));
        }
        if (k != target.size())
            fail(t, {}, rowNo,
                 "row has " + std::to_string(k) + " values, the packet has " +
                     std::to_string(target.size()) + " columns");
        ++t.rows_;
    }
    t.first();
}

void Table::loadPacket(const Packet& packet)
{
    clear();
    try {
        PacketLoader::load(*this, packet);
    } catch (...) {
        clear();
        throw;
    }
}

} // namespace dotz
