#pragma once
// A day as the client fetches it: the server call that brings its four packets.
#include "day.h"
#include "packet.h"
#include "wire_contract.h"

#include <array>
#include <functional>
#include <string>
#include <utility>

namespace dotz {

// One day's four packets, in slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra, cdsConfigDotz.
using DayPackets = std::array<Packet, wire::kPacketCount>;

// What a day's fetch gave: the day's packets, or a refusal that another server
// may answer. For the latter the fetch has turned to that server: the day starts
// over, what it staged dropped. A fetch gives it at most once per server and
// day, so the day ends. A failure that ends the run is thrown, not given.
struct DayFetch
{
    enum class Kind { Reply, Retry };

    // A reply; implicit, so that a fetch gives its packets as they are.
    DayFetch(DayPackets replied) : packets(std::move(replied)) {}
    static DayFetch retry()
    {
        DayFetch again{DayPackets{}};
        again.kind = Kind::Retry;
        return again;
    }

    Kind kind = Kind::Reply;
    DayPackets packets; // a reply's
};

// Takes a packet of the day (its slot, the packet) before the whole day has arrived.
using EarlyPacket = std::function<void(size_t slot, Packet packet)>;
// Fetches one day (the server call and its reply check); throws to end the run.
// It may hand each packet to `early` as soon as it is in, so that it loads while
// the rest arrives; a slot handed over is loaded from what was handed over, and
// what the fetch returns in it is ignored.
using FetchDay =
    std::function<DayFetch(const std::string& selector, Day day, const EarlyPacket& early)>;

} // namespace dotz
