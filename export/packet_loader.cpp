// Decoding a packet's JSON straight into a table's columns, without a tree of the
// document: a day's packet can hold millions of rows.
#include "packet_loader.h"

#include "error.h"
#include "packet_rows.h"

#include <simdjson.h>

#include <cstring>
#include <optional>
#include <vector>

namespace dotz {

namespace {

using namespace packet_rows;

// How often a load of a whole packet says how far it has read.
constexpr size_t kConsumedEvery = 4096;

void loadWhole(ColumnStore& store, const std::string& t, const Packet& packet)
{
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
        check(t, parser.allocate(json.size()), {}, 0, "pacote grande demais para ser lido");

    simdjson::ondemand::document doc;
    check(t, parser.iterate(buf, json.size(), capacity).get(doc), {}, 0, "o pacote não é JSON");
    simdjson::ondemand::object root;
    check(t, doc.get_object().get(root), {}, 0, "o pacote não é um objeto JSON");
    simdjson::ondemand::array cols;
    check(t, root.find_field_unordered("columns").get_array().get(cols), {}, 0,
          "o pacote não tem a lista \"columns\"");
    RowLoader loader(store, t, readColumns(t, cols, store.defs()), json.size());
    simdjson::ondemand::array rows;
    check(t, root.find_field_unordered("rows").get_array().get(rows), {}, 0,
          "o pacote não tem a lista \"rows\"");
    loader.piece(buf, 0);
    for (auto r : rows) {
        const char* start = loader.row(r);
        // The reader goes forward only: what lies before this row and before every
        // text still compared against is not needed again.
        if (loader.rows() % kConsumedEvery == 0)
            packet.consumed(json.data() + (loader.oldestHeld(start) - buf));
    }
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the white space that ends json[0, at) begins.
size_t trimBack(std::string_view json, size_t at)
{
    while (at > 0 && isSpace(json[at - 1]))
        --at;
    return at;
}

// Where each piece of rows ends, separators trimmed: the marks must fit the
// packet as the server writes it, the rows list last and nothing after it.
std::optional<std::vector<size_t>> pieceEnds(std::string_view json, const Packet::RowMarks& marks)
{
    const std::vector<size_t>& starts = marks.starts;
    if (starts.empty() || marks.listEnd >= json.size() || json[marks.listEnd] != ']')
        return std::nullopt;
    size_t at = marks.listEnd + 1;
    while (at < json.size() && isSpace(json[at]))
        ++at;
    if (at == json.size() || json[at] != '}')
        return std::nullopt;
    for (++at; at < json.size(); ++at)
        if (!isSpace(json[at]))
            return std::nullopt;
    std::vector<size_t> ends;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] : marks.listEnd;
        if (end <= starts[k] || json[starts[k]] != '[')
            return std::nullopt;
        if (k + 1 < starts.size()) {
            end = trimBack(json, end);
            if (end == 0 || json[end - 1] != ',')
                return std::nullopt;
            --end;
        }
        end = trimBack(json, end);
        if (end <= starts[k])
            return std::nullopt;
        ends.push_back(end);
    }
    return ends;
}

// The columns of a packet whose rows load in pieces, read from its head (all
// before the first row) closed as a packet with no rows. Nothing when the head
// does not end with the rows list, the first "rows" field of the packet.
std::optional<std::vector<int>> readHead(const std::string& t, std::string_view head,
                                         const std::vector<ColumnDef>& defs)
{
    simdjson::ondemand::parser parser;
    const simdjson::padded_string text(std::string(head) + "]}");
    simdjson::ondemand::document doc;
    simdjson::ondemand::object root;
    if (parser.iterate(text).get(doc) || doc.get_object().get(root))
        return std::nullopt;
    std::optional<std::vector<int>> target;
    bool rowsLast = false;
    for (auto field : root) {
        simdjson::ondemand::raw_json_string key;
        if (rowsLast || field.key().get(key))
            return std::nullopt;
        if (key.unsafe_is_equal("rows")) {
            simdjson::ondemand::array rows;
            size_t count = 1;
            if (field.value().get_array().get(rows) || rows.count_elements().get(count) || count)
                return std::nullopt;
            rowsLast = true;
        } else if (!target && key.unsafe_is_equal("columns")) {
            simdjson::ondemand::array cols;
            if (field.value().get_array().get(cols))
                return std::nullopt;
            target = readColumns(t, cols, defs);
        }
    }
    if (!rowsLast)
        return std::nullopt;
    return target;
}

// A large packet loads a piece of rows at a time, each copied out and closed
// as a list of its own: the decoder indexes a piece that stays in the cache,
// where its index of a whole day's packet would take more memory than the
// packet. false, with nothing loaded, where the row marks do not fit.
bool loadInPieces(ColumnStore& store, const std::string& t, const Packet& packet)
{
    const std::string_view json = packet.json();
    const Packet::RowMarks& marks = packet.rowMarks();
    const auto ends = pieceEnds(json, marks);
    if (!ends)
        return false;
    std::optional<std::vector<int>> target;
    try {
        // A fault in the head is the whole packet's to tell.
        target = readHead(t, json.substr(0, marks.starts.front()), store.defs());
    } catch (const Error&) {
        return false;
    }
    if (!target)
        return false;
    RowLoader loader(store, t, std::move(*target), marks.listEnd);
    simdjson::ondemand::parser parser;
    std::string buf;
    for (size_t k = 0; k < ends->size(); ++k) {
        const size_t from = marks.starts[k], size = (*ends)[k] - from;
        buf.resize(size + 2 + simdjson::SIMDJSON_PADDING);
        buf[0] = '[';
        std::memcpy(buf.data() + 1, json.data() + from, size);
        buf[size + 1] = ']';
        simdjson::ondemand::document doc;
        simdjson::ondemand::array rows;
        check(t, parser.iterate(buf.data(), size + 2, buf.size()).get(doc), {}, 0,
              "o pacote não é JSON");
        check(t, doc.get_array().get(rows), {}, 0, "o pacote não é JSON");
        loader.piece(buf.data() + 1, from);
        for (auto r : rows)
            loader.row(r);
        packet.consumed(k + 1 < ends->size() ? json.data() + marks.starts[k + 1]
                                             : json.data() + json.size());
    }
    return true;
}

} // namespace

void loadPacketInto(ColumnStore& store, const std::string& t, const Packet& packet)
{
    if (packet.isNull())
        fail(t, {}, 0, "nenhum pacote foi recebido");
    if (!loadInPieces(store, t, packet))
        loadWhole(store, t, packet);
    store.reserveRows(store.rows()); // gives back what the estimate took too much
}

} // namespace dotz
