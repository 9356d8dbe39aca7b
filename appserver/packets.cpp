#include "packets.h"

#include "export/error.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace dotz::appserver {

const std::array<PacketLayout, 4>& packetLayouts()
{
    // Names, types and widths as the module's tables declare them: it refuses a
    // packet that differs.
    static const std::array<PacketLayout, 4> layouts{{
        {"cdsCaixa", {{"CDFILIAL", true, 4}, {"CDCAIXA", true, 3}}},
        {"cdsDadosDotz",
         {{"CDFILIAL", true, 4},
          {"CDCAIXA", true, 3},
          {"NRCUPOMFIS", true, 10},
          {"CDIDCLIENTEDOTZ", true, 20},
          {"CDOPERADOR", true, 12},
          {"DATA", true, 10},
          {"HORA", true, 8},
          {"VRTOTVENDA", false, 0},
          {"CDPROMOCAODOTZ", true, 20},
          {"CDINTEGRADOTZ", true, 20},
          {"DSDIRARQDOTZ", true, 100},
          {"NRDOTZ", false, 0}}},
        {"cdsDotzExtra",
         {{"CDFILIAL", true, 4},
          {"CDCAIXA", true, 3},
          {"NRCUPOMFIS", true, 10},
          {"CDIDCLIENTEDOTZ", true, 20},
          {"CDPRODUTO", true, 10},
          {"VRUNITVEND", false, 0},
          {"QTPRODVEND", false, 0},
          {"VRTOTAL", false, 0},
          {"CDBARPRODUTO", true, 30},
          {"CDPROMOCAODOTZ", true, 20},
          {"CDINTEGRADOTZ", true, 20},
          {"DSDIRARQDOTZ", true, 100},
          {"NRDOTZ", false, 0}}},
        {"cdsConfigDotz",
         {{"CDFILIAL", true, 4},
          {"CDPRODUTO", true, 10},
          {"VRPRECITEM", false, 0},
          {"NMPRODUTO", true, 50},
          {"CDBARPRODUTO", true, 30},
          {"CDPROMOCAODOTZ", true, 20},
          {"DTINIVIGPROD", true, 10},
          {"DTFIMVIGPROD", true, 10},
          {"VRPONTOPROD", false, 0},
          {"CDINTEGRADOTZ", true, 20},
          {"DSDIRARQDOTZ", true, 100}}},
    }};
    return layouts;
}

namespace {

std::string branchFilter(const std::string& column, const BranchSelector& selector)
{
    if (selector.all)
        return "1 = 1";
    std::string sql = column + " IN (";
    for (size_t i = 0; i < selector.codes.size(); ++i)
        sql += i ? ", ?" : "?";
    return sql + ")";
}

std::string dateText(Engine engine, const std::string& column)
{
    return engine == Engine::Postgres ? "to_char(" + column + ", 'YYYY-MM-DD')" : column;
}

std::string timeText(Engine engine, const std::string& column)
{
    return engine == Engine::Postgres ? "to_char(" + column + ", 'HH24:MI:SS')" : column;
}

} // namespace

std::string packetQuery(int slot, Engine engine, const BranchSelector& selector)
{
    // Every packet is ordered by branch first: the module writes one file per run
    // of rows of the same branch.
    switch (slot) {
    case 0:
        return "SELECT c.CDFILIAL, c.CDCAIXA FROM CAIXA c WHERE " +
               branchFilter("c.CDFILIAL", selector) + " ORDER BY c.CDFILIAL, c.CDCAIXA";
    case 1:
        return "SELECT v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS, v.CDIDCLIENTEDOTZ, v.CDOPERADOR, " +
               dateText(engine, "v.DTVENDA") + ", " + timeText(engine, "v.HRVENDA") +
               ", v.VRTOTVENDA, v.CDPROMOCAODOTZ, f.CDINTEGRADOTZ, f.DSDIRARQDOTZ, v.NRDOTZ"
               " FROM VENDA v JOIN FILIAL f ON f.CDFILIAL = v.CDFILIAL"
               " WHERE v.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND " +
               branchFilter("v.CDFILIAL", selector) +
               " ORDER BY v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS";
    case 2:
        return "SELECT i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, v.CDIDCLIENTEDOTZ, i.CDPRODUTO,"
               " i.VRUNITVEND, i.QTPRODVEND, i.VRTOTAL, p.CDBARPRODUTO, i.CDPROMOCAODOTZ,"
               " f.CDINTEGRADOTZ, f.DSDIRARQDOTZ, i.NRDOTZEXTRA"
               " FROM ITEMVENDA i"
               " JOIN VENDA v ON v.DTVENDA = i.DTVENDA AND v.CDFILIAL = i.CDFILIAL"
               " AND v.CDCAIXA = i.CDCAIXA AND v.NRCUPOMFIS = i.NRCUPOMFIS"
               " JOIN FILIAL f ON f.CDFILIAL = i.CDFILIAL"
               " JOIN PRODUTO p ON p.CDPRODUTO = i.CDPRODUTO"
               " WHERE i.DTVENDA = ? AND v.CDIDCLIENTEDOTZ IS NOT NULL AND i.NRDOTZEXTRA > 0"
               " AND " +
               branchFilter("i.CDFILIAL", selector) +
               " ORDER BY i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, i.NRSEQITEM";
    case 3:
        return "SELECT pf.CDFILIAL, pp.CDPRODUTO, pp.VRPRECITEM, p.NMPRODUTO, p.CDBARPRODUTO,"
               " pp.CDPROMOCAODOTZ, " +
               dateText(engine, "pp.DTINIVIGPROD") + ", " + dateText(engine, "pp.DTFIMVIGPROD") +
               ", pp.VRPONTOPROD, f.CDINTEGRADOTZ, f.DSDIRARQDOTZ"
               " FROM PROMOCAODOTZFILIAL pf"
               " JOIN PROMOCAODOTZ pr ON pr.CDPROMOCAODOTZ = pf.CDPROMOCAODOTZ"
               " JOIN PRODPROMODOTZ pp ON pp.CDPROMOCAODOTZ = pf.CDPROMOCAODOTZ"
               " JOIN PRODUTO p ON p.CDPRODUTO = pp.CDPRODUTO"
               " JOIN FILIAL f ON f.CDFILIAL = pf.CDFILIAL"
               " WHERE pr.DTINIVIG <= ? AND pr.DTFIMVIG >= ? AND " +
               branchFilter("pf.CDFILIAL", selector) +
               " ORDER BY pf.CDFILIAL, pp.CDPROMOCAODOTZ, pp.CDPRODUTO";
    default:
        throw Error("no packet slot " + std::to_string(slot));
    }
}

std::vector<std::string> queryParameters(int slot, const BranchSelector& selector,
                                         const std::string& day)
{
    std::vector<std::string> params;
    if (slot == 1 || slot == 2)
        params.push_back(day);
    if (slot == 3)
        params.insert(params.end(), {day, day});
    if (!selector.all)
        params.insert(params.end(), selector.codes.begin(), selector.codes.end());
    return params;
}

// ---- JsonOut ------------------------------------------------------------------------

// A growing byte buffer that hands out room to write into. (rapidjson's
// StringBuffer does pointer arithmetic on null before its first allocation.)
struct JsonOut::Impl
{
    std::unique_ptr<char[]> bytes;
    size_t used = 0;
    size_t capacity = 0;

    char* Push(size_t n)
    {
        if (n > capacity - used) {
            const size_t grown = std::max(used + n, std::max<size_t>(capacity * 2, 64 * 1024));
            auto larger = std::make_unique_for_overwrite<char[]>(grown);
            if (used)
                std::memcpy(larger.get(), bytes.get(), used);
            bytes = std::move(larger);
            capacity = grown;
        }
        char* p = bytes.get() + used;
        used += n;
        return p;
    }
    void Put(char c) { *Push(1) = c; }
    void Pop(size_t n) { used -= n; }
    std::string_view view() const { return {bytes.get(), used}; }
};

JsonOut::JsonOut(Flush flush, size_t flushAt, size_t firstFlushAt)
    : impl_(std::make_unique<Impl>()), flush_(std::move(flush)), flushAt_(flushAt),
      firstFlushAt_(std::max(flushAt, firstFlushAt))
{
}

JsonOut::~JsonOut() = default;

void JsonOut::raw(std::string_view json)
{
    char* p = impl_->Push(json.size());
    std::copy(json.begin(), json.end(), p);
}

namespace {

// Bytes that a JSON string cannot hold as they are, or that start a multi-byte
// UTF-8 sequence.
constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[static_cast<size_t>(c)] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
    return t;
}();

} // namespace

// Hand-written rather than the library writer's: nearly every text here is plain
// ASCII and goes out with one copy, and the character count comes for free.
size_t JsonOut::string(std::string_view s)
{
    Impl& b = *impl_;
    size_t i = 0;
    while (i < s.size() && !kSpecial[static_cast<unsigned char>(s[i])])
        ++i;
    if (i == s.size()) {
        char* p = b.Push(s.size() + 2);
        p[0] = '"';
        std::copy(s.begin(), s.end(), p + 1);
        p[s.size() + 1] = '"';
        return s.size();
    }
    size_t characters = i;
    b.Put('"');
    std::copy(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i), b.Push(i));
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        ++characters;
        if (c >= 0x80) {
            const size_t n = utf8SequenceLength(s, i);
            if (n == 0)
                throw Error("text is not valid UTF-8 (byte " + std::to_string(i + 1) + ")");
            std::copy(s.begin() + static_cast<std::ptrdiff_t>(i),
                      s.begin() + static_cast<std::ptrdiff_t>(i + n), b.Push(n));
            i += n;
            continue;
        }
        if (c == '"' || c == '\\') {
            b.Put('\\');
            b.Put(static_cast<char>(c));
        } else if (c < 0x20) {
            static const char* hex = "0123456789abcdef";
            char* p = b.Push(6);
            p[0] = '\\';
            p[1] = 'u';
            p[2] = '0';
            p[3] = '0';
            p[4] = hex[c >> 4];
            p[5] = hex[c & 15];
        } else {
            b.Put(static_cast<char>(c));
        }
        ++i;
    }
    b.Put('"');
    return characters;
}

void JsonOut::number(double value)
{
    if (!std::isfinite(value))
        throw Error("number is not finite");
    // The shortest text that reads back as the same double.
    char* p = impl_->Push(32);
    const auto result = std::to_chars(p, p + 32, value);
    impl_->Pop(static_cast<size_t>(p + 32 - result.ptr));
}

void JsonOut::null()
{
    raw("null");
}

void JsonOut::maybeFlush()
{
    if (impl_->used >= (flushed_ ? flushAt_ : firstFlushAt_)) {
        flushed_ = true;
        flush_(impl_->view());
        impl_->used = 0;
    }
}

void JsonOut::finish()
{
    if (impl_->used > 0) {
        flushed_ = true;
        flush_(impl_->view());
        impl_->used = 0;
    }
}

void JsonOut::discard()
{
    impl_->used = 0;
}

// ---- GetPrincipal -------------------------------------------------------------------

namespace {

void writeColumns(const PacketLayout& layout, JsonOut& out)
{
    out.raw("{\"columns\":[");
    bool first = true;
    for (const WireColumn& c : layout.columns) {
        std::string json = first ? "{\"name\":\"" : ",{\"name\":\"";
        first = false;
        json += c.name;
        json += c.text ? "\",\"type\":\"text\",\"size\":" + std::to_string(c.size) + "}"
                       : std::string("\",\"type\":\"number\"}");
        out.raw(json);
    }
    out.raw("],\"rows\":[");
}

} // namespace

void writePrincipal(Store& store, const BranchSelector& selector, const std::string& day,
                    JsonOut& out, PrincipalCounts& counts)
{
    // One snapshot for the four packets: a sale and its items must not come from
    // different states of the database.
    store.exec(store.engine() == Engine::Postgres
                   ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"
                   : "BEGIN");
    try {
        out.raw("{\"ok\":true,\"data\":[");
        for (int slot = 0; slot < 4; ++slot) {
            const PacketLayout& layout = packetLayouts()[static_cast<size_t>(slot)];
            if (slot)
                out.raw(",");
            writeColumns(layout, out);
            size_t row = 0;
            const int ncols = static_cast<int>(layout.columns.size());
            store.query(packetQuery(slot, store.engine(), selector),
                        queryParameters(slot, selector, day), [&](const Row& r) {
                            ++row;
                            out.raw(row == 1 ? "[" : ",[");
                            for (int c = 0; c < ncols; ++c) {
                                if (c)
                                    out.raw(",");
                                const WireColumn& col = layout.columns[static_cast<size_t>(c)];
                                try {
                                    if (r.isNull(c)) {
                                        out.null();
                                    } else if (col.text) {
                                        const std::string_view t = r.text(c);
                                        const size_t length = out.string(t);
                                        if (length > static_cast<size_t>(col.size))
                                            throw Error("text of " + std::to_string(length) +
                                                        " characters is longer than " +
                                                        std::to_string(col.size) + ": " +
                                                        quoteForMessage(t));
                                    } else {
                                        out.number(r.number(c));
                                    }
                                } catch (const Error& e) {
                                    std::string branch =
                                        r.isNull(0) ? "(none)" : std::string(r.text(0));
                                    throw Error("packet " + std::string(layout.table) + ", column " +
                                                col.name + ", row " + std::to_string(row) +
                                                " (branch " + branch + "): " + e.what());
                                }
                            }
                            out.raw("]");
                            out.maybeFlush();
                        });
            counts.rows[static_cast<size_t>(slot)] = row;
            out.raw("]}");
        }
        out.raw("]}");
        store.exec("COMMIT");
    } catch (...) {
        try {
            store.exec("ROLLBACK");
        } catch (...) {
        }
        throw;
    }
}

} // namespace dotz::appserver
