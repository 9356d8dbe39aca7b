#pragma once
// Reading a reply while it arrives. The objects of the result's "data" list are
// cut out as packets as soon as their last byte is in, each into pages of its
// own that go back to the system once the packet is let go; the rest of the
// reply (the envelope, a few hundred bytes) is kept aside and read when the
// reply is complete. Nothing of a reply is indexed twice. The envelope's strings
// keep what server_text::StringCut keeps (a refusal's message is shown cut), and
// an envelope past 1 MiB refuses the reply.
#include "rpc_reply.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dotz {

class ReplyStream
{
  public:
    // When a packet goes to the sink: once complete, or as soon as its first row
    // is in (a packet still arriving, that a loader on another thread reads as
    // its rows come; it is complete once the stream has cut it, and broken
    // should the stream end first).
    enum class Handover { Complete, WhileArriving };
    // The first `count` objects of result.data go to `sink` (index, packet) on the
    // thread that feeds, before the reply is complete and before its envelope is
    // checked, each with its row marks about `markEvery` bytes apart. A reply may
    // not pass `maxBytes`.
    static constexpr size_t kMarkEvery = size_t{1} << 20;
    ReplyStream(PacketSink sink, size_t count, std::uint64_t maxBytes = kDefaultMaxReplyBytes,
                size_t markEvery = kMarkEvery, Handover handover = Handover::Complete);
    ~ReplyStream();
    ReplyStream(const ReplyStream&) = delete;
    ReplyStream& operator=(const ReplyStream&) = delete;

    // false once the reply cannot be taken further (too large, no memory, the sink
    // failed); error() says why, in Portuguese.
    bool feed(const char* data, size_t size);
    const std::string& error() const;

    // The reply read as readReply reads it (same checks, same errors), but each
    // object handed to the sink is a null packet in the result, and the result's
    // own text holds "{}" in its place. What the envelope's strings held past
    // their cut is not read, so not checked either.
    Variant finish(long long id, const std::string& failure, std::string_view method = {});

  private:
    struct State;
    std::unique_ptr<State> s_;
};

} // namespace dotz
