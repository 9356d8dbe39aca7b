#include "connection/principal_reply.h"
#include "connection/reply_stream.h"

#include "export/packet_loader.h"
#include "tests/support/export_tables.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

using namespace dotz;

namespace {

struct Read
{
    std::string error;                     // empty when the reply was taken
    std::map<size_t, std::string> packets; // result.data's objects by index
};

std::map<size_t, std::string> dataPackets(const Variant& result,
                                          const std::map<size_t, std::string>& early)
{
    std::map<size_t, std::string> packets = early;
    const Variant data = CheckServerResult(result, true, 0, nullptr);
    for (size_t i = 0; i < data.asArray().size(); ++i)
        if (data.asArray()[i].kind() == Variant::Kind::Packet &&
            !data.asArray()[i].asPacket().isNull())
            packets[i] = std::string(data.asArray()[i].asPacket().json());
    return packets;
}

Read whole(const std::string& reply)
{
    auto buffer = std::make_shared<std::string>(reply + std::string(Packet::kPadding, ' '));
    try {
        return {{}, dataPackets(readReply(buffer, reply.size(), 1, "F"), {})};
    } catch (const ConnectionError& e) {
        return {e.what(), {}};
    }
}

Read streamed(const std::string& reply, size_t piece, size_t count = 4)
{
    std::map<size_t, std::string> early;
    ReplyStream stream([&early](size_t i, Packet p) { early[i] = std::string(p.json()); }, count);
    for (size_t at = 0; at < reply.size(); at += piece) {
        // Each piece in an allocation of its own: a read past it is the sanitizer's to see.
        const std::vector<char> bytes(reply.data() + at,
                                      reply.data() + std::min(at + piece, reply.size()));
        if (!stream.feed(bytes.data(), bytes.size()))
            return {stream.error(), {}};
    }
    try {
        return {{}, dataPackets(stream.finish(1, "F"), early)};
    } catch (const ConnectionError& e) {
        return {e.what(), {}};
    }
}

// Strings with brackets and escapes at every offset of the scanner's blocks.
std::string longPacket()
{
    std::string rows;
    const char* pieces[] = {"]]]", "}", "[{", "\\\"", "\\\\", "x"};
    for (int i = 0; i < 300; ++i)
        rows += std::string(rows.empty() ? "" : ",") + "[\"" +
                std::string(static_cast<size_t>(i % 23), 'a') + pieces[i % 6] + "\"," +
                std::to_string(i) + ",{\"k\":[[]]}]";
    return "{\"rows\":[" + rows + "]}";
}

// A packet of the tills table with `rows` rows, its rows list left open.
std::string tillsPacket(int rows)
{
    std::string packet =
        R"({"columns":[{"name":"CDFILIAL","type":"text"},{"name":"CDCAIXA","type":"text"}],"rows":[)";
    for (int i = 0; i < rows; ++i)
        packet += std::string(i ? "," : "") + "[\"" + std::to_string(1000 + i % 7) + "\",\"" +
                  std::to_string(100 + i / 5 % 900) + "\"]";
    return packet;
}

// Cut as it arrives, in any pieces, a reply reads as it does whole: the same
// packets, or a failure where the whole reply fails.
TEST(ReplyStream, ReadsAsTheWholeReplyDoes)
{
    const std::string replies[] = {
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[)" + longPacket() + "," +
            longPacket() + "]}}",
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[{"a":"}\"{["},{"b":[{},[]]},{},{"d":"\\"}]}})",
        " { \"id\" : 1 , \"result\" : { \"x\" : {\"data\":[{}]}, \"data\" : [ {\"r\":1} "
        ",\n{\"s\":2} ] , "
        "\"ok\" : true } , \"jsonrpc\" : \"2.0\" } ",
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[null,{"a":1},5,{"b":2},{"c":3},{"e":4}]}})",
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"dat\u0061":[{"a":1}]}})",
        // Broken ones fail either way.
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[{"a":1)",
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[{"a":1}]}}})",
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[{"a":1}]},"result":{}})",
        R"({"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[{"a":1}]}} {"result":{"data":[{}]}})",
        R"(]]{"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":[{"a":1}]}})",
        R"({"jsonrpc":"2.0","id":2,"result":{"ok":true,"data":[{"a":1}]}})",
    };
    for (const std::string& reply : replies) {
        const Read expected = whole(reply);
        for (size_t piece : {size_t{1}, size_t{7}, reply.size()}) {
            const Read got = streamed(reply, piece);
            EXPECT_EQ(got.error.empty(), expected.error.empty()) << reply << "\n" << got.error;
            EXPECT_EQ(got.packets, expected.packets) << reply;
        }
    }
    // Only the first `count` objects are handed over; the rest stay in the result.
    const std::string reply = replies[3];
    EXPECT_EQ(streamed(reply, 3, 2).packets, whole(reply).packets);
}

// Packets far larger than the chunks in which read pages go back load as they
// do from a buffer of their own, also those that arrive into the chunks the
// packets before them were read from.
TEST(ReplyStream, APacketLoadsAlikeWhileItsReadPagesGoBack)
{
    std::vector<std::string> packets;
    std::string reply = R"({"result":{"data":[)";
    for (int i = 0; i < 3; ++i) {
        packets.push_back(tillsPacket(700000 - 1000 * i) + "]}");
        reply += (i ? "," : "") + packets.back();
    }
    reply += "]}}";
    std::vector<Table> streamed;
    ReplyStream stream(
        [&streamed](size_t, Packet p) {
            streamed.push_back(makeCdsCaixa());
            streamed.back().loadPacket(p);
        },
        packets.size());
    for (size_t at = 0; at < reply.size(); at += 4096)
        ASSERT_TRUE(stream.feed(reply.data() + at, std::min<size_t>(4096, reply.size() - at)));
    ASSERT_EQ(streamed.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        Table whole = makeCdsCaixa();
        whole.loadPacket(Packet::fromJson(packets[i]));
        ASSERT_EQ(streamed[i].rowCount(), whole.rowCount());
        for (size_t r = 0; r < whole.rowCount(); ++r)
            for (int c = 0; c < 2; ++c)
                ASSERT_EQ(streamed[i].textAt(r, c), whole.textAt(r, c)) << i << " " << r;
    }
}

// A text and a number, exactly.
std::string rowText(std::string_view text, double number)
{
    char bits[64];
    std::snprintf(bits, sizeof bits, "%a", number);
    return std::string(text) + "|" + bits;
}

// What a piece sink was given: each row's values as text, and the faults.
class RowsSeen final : public PieceSink
{
  public:
    void rows(const ColumnStore& piece, size_t) override
    {
        for (size_t r = 0; r < piece.rows(); ++r)
            values.push_back(rowText(piece.data(0).textView()[r], piece.data(1).numberView()[r]));
        faults += piece.faults().size();
    }
    void restart() override { *this = RowsSeen(); }
    std::vector<std::string> values;
    size_t faults = 0;
};

// Loaded a piece of rows at a time, as the stream's row marks allow, a packet
// reads as it does whole: the same values and faults, or the same refusal;
// also when each piece goes on to a sink as the export's do.
TEST(ReplyStream, APacketLoadsAlikeInPieces)
{
    const std::string head =
        R"({"columns":[{"name":"A","type":"text","size":6},{"name":"N","type":"number"}],"rows":[)";
    std::string rows;
    for (int i = 0; i < 300; ++i)
        rows += std::string(i ? ",\n " : "") + "[\"" +
                (i % 3 ? "v\\\"],[" : "a\xc3\xa7\xe2\x82\xac") + std::to_string(i % 4) +
                (i % 7 ? "" : "\\u0100") + "\"," + (i % 5 ? std::to_string(i) + ".25" : "1e-3") +
                "]";
    std::string compact;
    const char* texts[] = {R"("C:\\DZ\\L1\\")",        R"("a\/b\n\"c\"")", "null",
                           "\"\xc3\xa7\xe2\x82\xac\"", R"("\u0041")",      R"("abcdefg")"};
    const char* numbers[] = {"2.296", "-0", "1E+2", "null", "0.5", "12", "-3.75", "1e-3"};
    for (int i = 0; i < 400; ++i)
        compact += std::string(i ? "," : "") + "[" + texts[i / 3 % 6] + "," + numbers[i % 8] + "]";
    const std::string packets[] = {
        head + rows + "]}",
        head + rows + R"(] , "x" : [[1]] })", // more after the rows: read whole
        head + rows + R"(,["a"]]})",
        head + rows + R"(,["a",1] ["b",2]]})",
        head + rows + R"(,["a","1"],["b",2]]})",
        head + rows + ",[\"\xff\",1]]}",
        // Written compactly, as the server writes: escapes, nulls, numbers of
        // every form, read straight from the bytes or by the decoder alike.
        head + compact + "]}",
        head + compact + R"(,["a",01]]})",
        head + compact + R"(,["a",1e999]]})",
        head + compact + ",[\"a\x01\",1]]}",
        head + compact + R"(,["a\x",1]]})",
        head + compact + R"(,["a",1,2]]})",
        head + compact + R"(,[1,"a"]]})",
        R"({"rows":[["a",1]],"columns":[{"name":"A","type":"text"},{"name":"N","type":"number"}]})",
        R"({"rows":[],"columns":[{"name":"A","type":"text"},{"name":"N","type":"number"}],"rows":[["a",1]]})",
    };
    const auto make = [] {
        return Table("t", {{"A", ColumnType::Text, 6}, {"N", ColumnType::Number}});
    };
    const auto load = [](Table& t, const Packet& p) {
        try {
            t.loadPacket(p);
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    for (const std::string& packet : packets) {
        Table whole = make(), pieces = make();
        const std::string wholeError = load(whole, Packet::fromJson(packet));
        std::string error;
        size_t marks = 0;
        ReplyStream stream(
            [&](size_t, Packet p) {
                marks = p.rowMarks().starts.size();
                error = load(pieces, p);
            },
            1, kDefaultMaxReplyBytes, 64);
        const std::string reply = R"({"result":{"data":[)" + packet + "]}}";
        ASSERT_TRUE(stream.feed(reply.data(), reply.size()));
        EXPECT_EQ(error, wholeError) << packet;
        ASSERT_EQ(pieces.rowCount(), whole.rowCount()) << packet;
        for (size_t r = 0; r < whole.rowCount(); ++r) {
            ASSERT_EQ(pieces.textAt(r, 0), whole.textAt(r, 0)) << r;
            ASSERT_EQ(pieces.numberAt(r, 1), whole.numberAt(r, 1)) << r;
        }
        EXPECT_EQ(pieces.valueFaults().size(), whole.valueFaults().size()) << packet;
        if (&packet == &packets[0]) {
            EXPECT_GT(marks, 50u); // the pieces were taken
        }

        RowsSeen seen;
        std::string sinkError;
        ReplyStream toSink(
            [&](size_t, Packet p) {
                ColumnStore store(make().store().defs());
                try {
                    loadPacketInto(store, "t", p, &seen);
                } catch (const Error& e) {
                    sinkError = e.what();
                }
            },
            1, kDefaultMaxReplyBytes, 64);
        ASSERT_TRUE(toSink.feed(reply.data(), reply.size()));
        EXPECT_EQ(sinkError, wholeError) << packet;
        if (!wholeError.empty())
            continue;
        ASSERT_EQ(seen.values.size(), whole.rowCount()) << packet;
        for (size_t r = 0; r < whole.rowCount(); ++r)
            ASSERT_EQ(seen.values[r], rowText(whole.textAt(r, 0), whole.numberAt(r, 1))) << r;
        EXPECT_EQ(seen.faults, whole.valueFaults().size()) << packet;
    }
}

// Handed over at its first row, a packet loads on another thread as its rows
// arrive, alike; a stream that ends before the packet does leaves it refused.
TEST(ReplyStream, APacketLoadsAlikeWhileItArrives)
{
    const std::string packet = tillsPacket(20000);
    // Past a chunk of pages that go back while it loads; its last rows a line each.
    std::string large = tillsPacket(0);
    for (int i = 0; i < 400000; ++i)
        large += std::string(i == 0       ? ""
                             : i < 300000 ? ","
                                          : ",\r\n") +
                 "[\"" + std::to_string(1000 + i % 7) + "\",\"1\"]";
    const std::string packets[] = {packet + "]}", packet + R"(],"x":[[1]]})", large + "]}"};
    const std::string reply =
        R"({"result":{"data":[)" + packets[0] + "," + packets[1] + "," + packets[2] + "]}}";
    for (const size_t cut : {reply.size(), reply.size() - 200}) {
        std::array<Table, 3> tables = {makeCdsCaixa(), makeCdsCaixa(), makeCdsCaixa()};
        std::array<std::string, 3> errors;
        std::vector<std::thread> loaders;
        {
            ReplyStream stream(
                [&](size_t i, Packet p) {
                    EXPECT_NE(p.arrival(), nullptr);
                    loaders.emplace_back([&, i, p] {
                        try {
                            tables[i].loadPacket(p);
                        } catch (const Error& e) {
                            errors[i] = e.what();
                        }
                    });
                },
                3, kDefaultMaxReplyBytes, 256, ReplyStream::Handover::WhileArriving);
            for (size_t at = 0; at < cut; at += 1000)
                ASSERT_TRUE(stream.feed(reply.data() + at, std::min<size_t>(1000, cut - at)));
        }
        for (std::thread& t : loaders)
            t.join();
        for (size_t i = 0; i < loaders.size(); ++i) {
            Table whole = makeCdsCaixa();
            whole.loadPacket(Packet::fromJson(packets[i]));
            if (cut < reply.size() && i == loaders.size() - 1) {
                EXPECT_NE(errors[i].find("terminou antes do fim do pacote"), std::string::npos);
                continue;
            }
            EXPECT_EQ(errors[i], "");
            ASSERT_EQ(tables[i].rowCount(), whole.rowCount());
            for (size_t r = 0; r < whole.rowCount(); ++r)
                ASSERT_EQ(tables[i].textAt(r, 1), whole.textAt(r, 1)) << r;
        }
    }
}

TEST(ReplyStream, StopsAtItsLimit)
{
    ReplyStream stream([](size_t, Packet) {}, 4, 10);
    EXPECT_TRUE(stream.feed("{\"a\":", 5));
    EXPECT_FALSE(stream.feed("[1,2,3]}", 8));
    EXPECT_NE(stream.error().find("passa do limite"), std::string::npos);
}

} // namespace
