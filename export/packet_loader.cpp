// Decoding a packet's JSON straight into a table's columns, without a tree of the
// document: a day's packet can hold millions of rows.
#include "packet_loader.h"

#include "base/error.h"
#include "base/wire_contract.h"
#include "json_tokens.h"
#include "packet_rows.h"

#include <simdjson.h>

#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace dotz {

namespace {

using namespace packet_rows;

// How often a load of a whole packet says how far it has read, and hands its
// rows on to a sink.
constexpr size_t kConsumedEvery = 4096;

// Where the rows go: they stay in the store, or a sink takes them a piece at a time.
class Delivery
{
  public:
    // Pieces handed on are read before their bytes go: their texts stay where they lie.
    Delivery(ColumnStore& store, PieceSink* sink) : store_(store), sink_(sink)
    {
        store_.borrowTexts(sink != nullptr);
    }
    ColumnStore& store() const { return store_; }
    bool streaming() const { return sink_ != nullptr; }
    // Gives the rows held to the sink; true when they left the store.
    bool handOn()
    {
        if (!sink_ || store_.rows() == 0)
            return false;
        sink_->rows(store_, given_);
        given_ += store_.rows();
        store_.clearKeepingRoom();
        return true;
    }
    void restart()
    {
        store_.clear();
        if (sink_ && given_ != 0)
            sink_->restart();
        given_ = 0;
    }

  private:
    ColumnStore& store_;
    PieceSink* sink_;
    size_t given_ = 0;
};

void loadWhole(Delivery& to, const std::string& t, const Packet& packet)
{
    ColumnStore& store = to.store();
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
    check(t, root.find_field_unordered(wire::key::kColumns).get_array().get(cols), {}, 0,
          "o pacote não tem a lista \"" + std::string(wire::key::kColumns) + "\"");
    RowLoader loader(store, t, readColumns(t, cols, store.defs()),
                     to.streaming() ? 0 : json.size());
    simdjson::ondemand::array rows;
    check(t, root.find_field_unordered(wire::key::kRows).get_array().get(rows), {}, 0,
          "o pacote não tem a lista \"" + std::string(wire::key::kRows) + "\"");
    loader.piece(buf, 0);
    for (auto r : rows) {
        const char* start = loader.row(r);
        if (loader.rows() % kConsumedEvery != 0)
            continue;
        if (to.handOn())
            loader.storeCleared();
        // The reader goes forward only: what lies before this row and before every
        // text still compared against is not needed again.
        packet.consumed(json.data() + (loader.oldestHeld(start) - buf));
    }
    to.handOn();
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

// Where the piece of rows from the mark `start` ends, when the next mark is
// `next`: a row starts at each, after a comma.
std::optional<size_t> pieceEnd(std::string_view json, size_t start, size_t next)
{
    if (next <= start || json[start] != '[')
        return std::nullopt;
    const size_t comma = trimBack(json, next);
    if (comma == 0 || json[comma - 1] != ',')
        return std::nullopt;
    const size_t end = trimBack(json, comma - 1);
    if (end <= start)
        return std::nullopt;
    return end;
}

// Where each piece of rows from the `from`th on ends, separators trimmed: the
// marks must fit the packet as the server writes it, the rows list last and
// nothing after it. Reads no byte before the `from`th mark.
std::optional<std::vector<size_t>> pieceEnds(std::string_view json, const Packet::RowMarks& marks,
                                             size_t from = 0)
{
    const std::vector<size_t>& starts = marks.starts;
    if (starts.size() <= from || marks.listEnd >= json.size() || json[marks.listEnd] != ']')
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
    for (size_t k = from; k + 1 < starts.size(); ++k) {
        const auto end = pieceEnd(json, starts[k], starts[k + 1]);
        if (!end)
            return std::nullopt;
        ends.push_back(*end);
    }
    // The last piece ends with the list.
    const size_t end = trimBack(json, marks.listEnd);
    if (json[starts.back()] != '[' || end <= starts.back())
        return std::nullopt;
    ends.push_back(end);
    return ends;
}

// The columns of a packet whose rows load in pieces, read from its head (all
// before the first row) closed as a packet with no rows. Nothing (and no error)
// when the head does not end with the rows list, the first "rows" field of the
// packet, or holds a fault: that is the whole packet's to tell.
std::optional<std::vector<int>> columnsOfHead(const std::string& t, std::string_view head,
                                              const std::vector<ColumnDef>& defs)
try {
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
        if (key.unsafe_is_equal(wire::key::kRows)) {
            simdjson::ondemand::array rows;
            size_t count = 1;
            if (field.value().get_array().get(rows) || rows.count_elements().get(count) || count)
                return std::nullopt;
            rowsLast = true;
        } else if (!target && key.unsafe_is_equal(wire::key::kColumns)) {
            simdjson::ondemand::array cols;
            if (field.value().get_array().get(cols))
                return std::nullopt;
            target = readColumns(t, cols, defs);
        }
    }
    if (!rowsLast)
        return std::nullopt;
    return target;
} catch (const Error&) {
    return std::nullopt;
}

// One piece of rows, json[from, end): read where it lies, or copied out and
// closed as a list of its own for the decoder. What the plain reading reads
// past a piece is there: the packet's padding, or, while the packet arrives,
// as many bytes past the next mark.
static_assert(json_tokens::kReadsPast <= Packet::kPadding);
class Pieces
{
  public:
    Pieces(const std::string& t, RowLoader& loader, Delivery& to) : t_(t), loader_(loader), to_(to)
    {
    }
    void load(const char* json, size_t from, size_t end)
    {
        loader_.piece(json + from, from);
        if (!loader_.plainRows(json + from, json + end)) {
            const size_t size = end - from;
            buf_.resize(size + 2 + simdjson::SIMDJSON_PADDING);
            buf_[0] = '[';
            std::memcpy(buf_.data() + 1, json + from, size);
            buf_[size + 1] = ']';
            loader_.piece(buf_.data() + 1, from);
            simdjson::ondemand::document doc;
            simdjson::ondemand::array rows;
            check(t_, parser_.iterate(buf_.data(), size + 2, buf_.size()).get(doc), {}, 0,
                  "o pacote não é JSON");
            check(t_, doc.get_array().get(rows), {}, 0, "o pacote não é JSON");
            for (auto r : rows)
                loader_.row(r);
        }
        to_.handOn();
    }

  private:
    const std::string& t_;
    RowLoader& loader_;
    Delivery& to_;
    simdjson::ondemand::parser parser_;
    std::string buf_;
};

// A large packet loads a piece of rows at a time: the decoder indexes a piece
// that stays in the cache, where its index of a whole day's packet would take
// more memory than the packet. false, with nothing loaded, where the row marks
// do not fit.
bool loadInPieces(Delivery& to, const std::string& t, const Packet& packet)
{
    ColumnStore& store = to.store();
    const std::string_view json = packet.json();
    const Packet::RowMarks& marks = packet.rowMarks();
    const auto ends = pieceEnds(json, marks);
    if (!ends)
        return false;
    auto target = columnsOfHead(t, json.substr(0, marks.starts.front()), store.defs());
    if (!target)
        return false;
    RowLoader loader(store, t, std::move(*target), to.streaming() ? 0 : marks.listEnd);
    Pieces pieces(t, loader, to);
    for (size_t k = 0; k < ends->size(); ++k) {
        pieces.load(json.data(), marks.starts[k], (*ends)[k]);
        packet.consumed(k + 1 < ends->size() ? json.data() + marks.starts[k + 1]
                                             : json.data() + json.size());
    }
    return true;
}

[[noreturn]] void broken(const std::string& t)
{
    fail(t, {}, 0, "a resposta do servidor terminou antes do fim do pacote");
}

Packet completed(const std::string& t, const Packet::Arrival& arrival)
{
    arrival.abandon();
    Packet::Arrival::Progress p;
    while (!p.complete) {
        p = arrival.wait(std::numeric_limits<size_t>::max() - 1);
        if (p.broken)
            broken(t);
    }
    return arrival.packet();
}

// What loading a packet while it arrives came to.
enum class Arrived {
    Loaded,
    NotInPieces, // the row marks do not fit: the packet is read whole once complete
    Gone,        // nor do they, and the rows handed on are no longer there to be read again
};

// The pieces of a packet still arriving, each once the next row mark is in:
// the rows load while the server still sends them, and the bytes of each
// piece go back once it is read.
Arrived loadWhileArriving(Delivery& to, const std::string& t, const Packet::Arrival& arrival)
{
    ColumnStore& store = to.store();
    Packet::Arrival::Progress p = arrival.wait(0);
    if (p.broken)
        broken(t);
    if (p.starts.empty())
        return Arrived::NotInPieces;
    auto target = columnsOfHead(t, std::string_view(p.data, p.starts.front()), store.defs());
    if (!target)
        return Arrived::NotInPieces;
    RowLoader loader(store, t, std::move(*target), 0);
    Pieces pieces(t, loader, to);
    bool gone = false;
    size_t k = 0;
    try {
        for (;; ++k) {
            if (p.starts.size() < k + 2 && !p.complete)
                p = arrival.wait(k + 1);
            if (p.broken)
                broken(t);
            if (p.starts.size() <= k)
                break;
            std::optional<size_t> end;
            const bool last = k + 1 == p.starts.size();
            if (!last) {
                end = pieceEnd(std::string_view(p.data, p.starts[k + 1]), p.starts[k],
                               p.starts[k + 1]);
            } else {
                const Packet whole = arrival.packet();
                const auto ends = pieceEnds(whole.json(), whole.rowMarks(), k);
                if (ends && whole.rowMarks().starts.size() == p.starts.size())
                    end = ends->back();
            }
            if (!end)
                break;
            pieces.load(p.data, p.starts[k], *end);
            gone = arrival.consumed(last ? *end : p.starts[k + 1]) || gone;
            if (last)
                return Arrived::Loaded;
        }
    } catch (const Error&) {
        // A refusal stands where the whole packet would load in pieces too: it
        // is the one such a load meets first. The pieces before this one fit.
        const Packet whole = completed(t, arrival);
        if (gone || pieceEnds(whole.json(), whole.rowMarks(), k))
            throw;
    }
    return gone ? Arrived::Gone : Arrived::NotInPieces;
}

void loadComplete(Delivery& to, const std::string& t, const Packet& packet)
{
    if (!loadInPieces(to, t, packet))
        loadWhole(to, t, packet);
}

} // namespace

void loadPacketInto(ColumnStore& store, const std::string& t, const Packet& packet, PieceSink* sink)
{
    if (packet.isNull())
        fail(t, {}, 0, "nenhum pacote foi recebido");
    Delivery to(store, sink);
    if (const Packet::Arrival* arrival = packet.arrival()) {
        struct Done
        {
            const Packet::Arrival& arrival;
            ~Done() { arrival.abandon(); }
        } done{*arrival};
        const Arrived arrived = loadWhileArriving(to, t, *arrival);
        if (arrived == Arrived::Gone)
            fail(t, {}, 0,
                 "o pacote não segue a forma {\"columns\":[...],\"rows\":[...]} e não pode ser "
                 "lido enquanto chega");
        if (arrived == Arrived::NotInPieces) {
            to.restart();
            loadComplete(to, t, completed(t, *arrival));
        }
    } else {
        loadComplete(to, t, packet);
    }
    if (!sink)
        store.reserveRows(store.rows()); // gives back what the estimate took too much
}

} // namespace dotz
