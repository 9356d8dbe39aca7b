#include "packet_json.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace dotz::testing {

std::string columnsJson(const Table& t)
{
    std::string json = "[";
    for (const ColumnDef& d : t.columns()) {
        if (json.size() > 1)
            json += ',';
        json += "{\"name\":\"" + d.name + "\",\"type\":\"" +
                (d.type == ColumnType::Text ? "text\",\"size\":" + std::to_string(d.size)
                                            : std::string("number\"")) +
                "}";
    }
    return json + "]";
}

std::string packetJson(const Table& t)
{
    std::string json = "{\"columns\":" + columnsJson(t) + ",\"rows\":[";
    char number[32];
    for (size_t r = 0; r < t.rowCount(); ++r) {
        json += r ? ",[" : "[";
        for (size_t c = 0; c < t.columns().size(); ++c) {
            const int col = static_cast<int>(c);
            json += c ? "," : "";
            if (t.isNullAt(r, col)) {
                json += "null";
            } else if (t.columns()[c].type == ColumnType::Number) {
                std::snprintf(number, sizeof number, "%.17g", t.numberAt(r, col));
                json += number;
            } else {
                json += '"';
                for (char ch : t.textAt(r, col)) {
                    if (static_cast<unsigned char>(ch) < 0x20) {
                        std::snprintf(number, sizeof number, "\\u%04x", ch);
                        json += number;
                        continue;
                    }
                    if (ch == '\\' || ch == '"')
                        json += '\\';
                    json += ch;
                }
                json += '"';
            }
        }
        json += "]";
    }
    return json + "]}";
}

Packet packetOf(const Table& t)
{
    return Packet::fromJson(packetJson(t));
}

namespace {

class Arrived final : public Packet::Arrival
{
  public:
    explicit Arrived(Packet whole) : whole_(std::move(whole)) {}
    Progress wait(size_t) const override
    {
        return {whole_.json().data(), whole_.rowMarks().starts, true, false};
    }
    Packet packet() const override { return whole_; }

  private:
    Packet whole_;
};

} // namespace

Packet arrivedPacket(std::string json)
{
    Packet::RowMarks marks;
    const size_t rows = json.find("\"rows\":[") + 8;
    size_t depth = 0;
    for (size_t at = rows; at < json.size(); ++at) {
        if (json[at] == '[' && depth++ == 0)
            marks.starts.push_back(at);
        else if (json[at] == ']' && depth-- == 0) {
            marks.listEnd = at;
            break;
        }
    }
    Packet whole = Packet::fromJson(std::move(json));
    whole.setRowMarks(std::move(marks));
    return Packet::arriving(std::make_shared<Arrived>(std::move(whole)));
}

} // namespace dotz::testing
