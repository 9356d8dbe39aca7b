#include "reply_stream.h"

#include "json_blocks.h"
#include "reply_memory.h"
#include "server_text.h"

#include "base/wire_contract.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dotz {
namespace {

using namespace reply_memory;

const char* const kNoMemory = "memória insuficiente para receber a resposta";
// The envelope of a day is a few hundred bytes; its strings are cut as they come
// (a refusal's message is shown cut anyway), and this bounds the rest.
constexpr size_t kEnvelopeBytes = size_t{1} << 20;

// First '"' or '\\' in [p, end), or end.
const char* quoteOrBackslash(const char* p, const char* end)
{
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        if (mask)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; p < end; ++p)
        if (*p == '"' || *p == '\\')
            return p;
    return end;
}

} // namespace

struct ReplyStream::State
{
    PacketSink sink;
    size_t count;
    ReplyStream::Handover handover = ReplyStream::Handover::Complete;
    std::shared_ptr<Arriving> arriving; // the packet being cut, once handed over
    std::uint64_t maxBytes;
    std::uint64_t total = 0;
    std::string error;
    std::shared_ptr<Arena> arena;
    std::string envelope;
    server_text::StringCut envelopeCut;
    std::vector<size_t> handedOver; // offsets of the "{}" left in the envelope

    // The JSON structure as far as the bytes so far tell it.
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    bool broken = false; // the bytes are no JSON: all of them go to the envelope reader
    // Where the path root -> "result" -> "data" stands: 0 outside it, 1 in the
    // root object, 2 in the result object, 3 in the data list.
    size_t path = 0;
    bool expectKey = false;
    bool capturing = false;
    std::string key; // the last key read on the path, cut at kKeyMax bytes
    bool resultSeen = false;
    bool dataSeen = false;
    size_t element = 0; // index in the data list
    bool inPacket = false;
    size_t packetFrom = 0; // in the arena

    // The row marks of the packet being cut. Its "rows" list lies at depth 5 and
    // its rows at 6; the first list of lists there is taken for it (the loader
    // checks that it is).
    enum class Rows { Seeking, In, Done };
    size_t markEvery = 0;
    Rows rows = Rows::Seeking;
    Packet::RowMarks marks;
    size_t nextMark = 0; // packet offset from which a row start is the next mark
    size_t scanBase = 0; // packet offset of scanFrom
    const char* scanFrom = nullptr;

    size_t offsetOf(const char* p) const { return scanBase + static_cast<size_t>(p - scanFrom); }
    // A bracket that opens at depth 5 (before it counts), or closes back to depth 4.
    void rowOpens(const char* p)
    {
        const size_t at = offsetOf(p);
        if (rows == Rows::Done || at < nextMark)
            return;
        marks.starts.push_back(at);
        nextMark = at + markEvery;
        rows = Rows::In;
    }
    void listCloses(const char* p)
    {
        if (rows != Rows::In)
            return;
        marks.listEnd = offsetOf(p);
        rows = Rows::Done;
    }
    // Bracket by bracket: while a row mark is due, or where the rows may end.
    bool precise(const char* p, size_t closed) const
    {
        return rows == Rows::Seeking ||
               (rows == Rows::In && (depth <= 4 + closed || offsetOf(p) + 64 > nextMark));
    }

    static constexpr size_t kKeyMax = 8;

    bool fail(std::string why)
    {
        error = std::move(why);
        return false;
    }

    // Scans a packet's bytes until its closing brace; gives where it stopped.
    const char* scanPacket(const char* p, const char* end)
    {
#if defined(__SSE2__)
        p = scanBlocks(p, end);
        if (!inPacket)
            return p;
#endif
        return scanBytes(p, end);
    }

    const char* scanBytes(const char* p, const char* end)
    {
        while (p < end) {
            if (inString) {
                if (escaped) {
                    escaped = false;
                    ++p;
                    continue;
                }
                p = quoteOrBackslash(p, end);
                if (p == end)
                    break;
                if (*p++ == '\\')
                    escaped = true;
                else
                    inString = false;
                continue;
            }
            switch (*p++) {
            case '"':
                inString = true;
                break;
            case '[':
                if (depth == 5)
                    rowOpens(p - 1);
                [[fallthrough]];
            case '{':
                ++depth;
                break;
            case '}':
            case ']':
                if (--depth == 3) {
                    inPacket = false;
                    return p;
                }
                if (depth == 4)
                    listCloses(p - 1);
                break;
            default:
                break;
            }
        }
        return p;
    }

#if defined(__SSE2__)
    // 64 bytes at a time: the depth can only reach the packet's end in a block
    // that closes as many brackets as the packet is deep.
    const char* scanBlocks(const char* p, const char* end)
    {
        json_blocks::Carry carry{inString, escaped};
        for (; end - p >= 64; p += 64) {
            const json_blocks::Block b = json_blocks::classify(p, carry);
            if (depth > 3 + b.closed && !precise(p, b.closed)) {
                depth = depth + b.opened - b.closed;
                continue;
            }
            for (uint64_t all = b.opens | b.closes; all; all &= all - 1) {
                const auto at = static_cast<unsigned>(__builtin_ctzll(all));
                if (b.opens >> at & 1u) {
                    if (depth == 5 && (b.squares >> at & 1u))
                        rowOpens(p + at);
                    ++depth;
                } else if (--depth == 3) {
                    inString = false;
                    escaped = false;
                    inPacket = false;
                    return p + at + 1;
                } else if (depth == 4) {
                    listCloses(p + at);
                }
            }
        }
        inString = carry.inString;
        escaped = carry.escaped;
        return p;
    }
#endif

    bool endPacket()
    {
        const size_t from = packetFrom;
        const size_t size = arena->used() - from;
        static const std::string padding(Packet::kPadding, ' ');
        if (!arena->append(padding.data(), padding.size()))
            return fail(kNoMemory);
        const std::string_view json(arena->at(from), size);
        std::shared_ptr<const Packet::Memory> pages = std::make_shared<const PacketPages>(
            arriving ? arriving->span() : std::make_shared<Span>(arena, from), arena->used());
        Packet packet = Packet::inMemory(std::move(pages), json, size + Packet::kPadding);
        if (rows == Rows::Done)
            packet.setRowMarks(std::move(marks));
        if (arriving)
            std::exchange(arriving, {})->complete(std::move(packet));
        else
            sink(element, std::move(packet));
        return true;
    }

    // One byte of the envelope; true when it opens a packet.
    bool envelopeByte(char c)
    {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"') {
                inString = false;
                capturing = false;
                return false;
            }
            if (capturing && key.size() <= kKeyMax)
                key += c;
            return false;
        }
        switch (c) {
        case '"':
            inString = true;
            if (expectKey && depth == path && (depth == 1 || depth == 2)) {
                capturing = true;
                expectKey = false;
                key.clear();
            }
            break;
        case ',':
            if (depth == path && (depth == 1 || depth == 2))
                expectKey = true;
            else if (depth == 3 && path == 3)
                ++element;
            break;
        case '{':
            if (depth == 3 && path == 3 && element < count) {
                ++depth;
                return true;
            }
            if (depth == 0 && path == 0) {
                path = 1;
                expectKey = true;
            } else if (depth == 1 && path == 1 && key == "result" && !resultSeen) {
                resultSeen = true;
                path = 2;
                expectKey = true;
            }
            ++depth;
            break;
        case '[':
            if (depth == 2 && path == 2 && key == wire::envelope::kData && !dataSeen) {
                dataSeen = true;
                path = 3;
                element = 0;
            }
            ++depth;
            break;
        case '}':
        case ']':
            if (depth == 0) {
                broken = true;
                break;
            }
            if (depth == path)
                --path;
            --depth;
            break;
        default:
            break;
        }
        return false;
    }

    bool feed(const char* p, const char* end)
    {
        while (p < end) {
            if (inPacket) {
                scanBase = arena->used() - packetFrom;
                scanFrom = p;
                const char* stop = scanPacket(p, end);
                if (!arena->append(p, static_cast<size_t>(stop - p)))
                    return fail(kNoMemory);
                p = stop;
                if (handover == ReplyStream::Handover::WhileArriving && !marks.starts.empty()) {
                    if (!arriving) {
                        arriving =
                            std::make_shared<Arriving>(std::make_shared<Span>(arena, packetFrom));
                        arriving->publish(marks.starts, arena->used() - packetFrom);
                        sink(element, Packet::arriving(arriving));
                    } else {
                        arriving->publish(marks.starts, arena->used() - packetFrom);
                    }
                }
                if (!inPacket && !endPacket())
                    return false;
                continue;
            }
            bool opens = false;
            if (broken) {
                envelope.append(p, std::min(static_cast<size_t>(end - p), kEnvelopeBytes + 1));
                p = end;
            }
            while (p < end && !opens) {
                const char c = *p++;
                opens = envelopeByte(c);
                // The packet's opening brace stays in the packet.
                if (!opens && envelopeCut.keep(c))
                    envelope += c;
            }
            if (envelope.size() > kEnvelopeBytes)
                return fail(invalidReply("passa de 1 MiB fora dos pacotes de \"data\""));
            if (!opens)
                break;
            // "{}" holds the packet's place.
            handedOver.push_back(envelope.size());
            envelope += "{}";
            inPacket = true;
            rows = Rows::Seeking;
            marks = {};
            nextMark = 0;
            arena->startOnPage();
            packetFrom = arena->used();
            if (!arena->append(p - 1, 1))
                return fail(kNoMemory);
        }
        return true;
    }
};

ReplyStream::ReplyStream(PacketSink sink, size_t count, std::uint64_t maxBytes, size_t markEvery,
                         Handover handover)
    : s_(std::make_unique<State>())
{
    s_->handover = handover;
    s_->sink = std::move(sink);
    s_->count = count;
    s_->maxBytes = maxBytes;
    s_->markEvery = std::max<size_t>(markEvery, 1);
}

ReplyStream::~ReplyStream()
{
    // A packet still arriving never will.
    if (s_->arriving)
        s_->arriving->broken();
}

const std::string& ReplyStream::error() const
{
    return s_->error;
}

bool ReplyStream::feed(const char* data, size_t size)
{
    State& s = *s_;
    if (!s.error.empty())
        return false;
    if (size > s.maxBytes - s.total)
        return s.fail(replyTooLarge(s.maxBytes));
    s.total += size;
    if (!s.arena) {
        // Address space (not memory) for the whole reply, plus what page starts and
        // padding add per packet; a guard set past what the machine can map is
        // held to what it can.
        const std::uint64_t reply = std::min(s.maxBytes, kDefaultMaxReplyBytes);
        s.arena = std::make_shared<Arena>(static_cast<size_t>(reply) + s.count * 2 * pageSize() +
                                          (size_t{8} << 20));
        if (!s.arena->usable())
            return s.fail(kNoMemory);
    }
    try {
        return s.feed(data, data + size);
    } catch (const std::bad_alloc&) {
        return s.fail(kNoMemory);
    } catch (const std::exception& e) {
        return s.fail(std::string("a resposta não pôde ser recebida (") + e.what() + ")");
    }
}

Variant ReplyStream::finish(long long id, const std::string& failure, std::string_view method)
{
    State& s = *s_;
    auto envelope = std::make_shared<std::string>(std::move(s.envelope));
    const size_t length = envelope->size();
    envelope->append(Packet::kPadding, ' ');
    return readReply(std::move(envelope), length, id, failure, s.handedOver, method);
}

} // namespace dotz
