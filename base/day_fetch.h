#pragma once
// A day as the client fetches it: the server call that brings its four packets.
#include "day.h"
#include "packet.h"
#include "wire_contract.h"

#include <array>
#include <exception>
#include <functional>
#include <string>

namespace dotz {

// A day's call failed where another server may answer, and the fetch has
// turned to that server: the day starts over, what it staged dropped. A fetch
// throws it at most once per server and day, so the day ends.
class RetryDay : public std::exception
{
  public:
    const char* what() const noexcept override { return "day retried on another server"; }
};

// One day's four packets, in slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra, cdsConfigDotz.
using DayPackets = std::array<Packet, wire::kPacketCount>;
// Takes a packet of the day (its slot, the packet) before the whole day has arrived.
using EarlyPacket = std::function<void(size_t slot, Packet packet)>;
// Fetches one day (the server call and its reply check); throws to end the run.
// It may hand each packet to `early` as soon as it is in, so that it loads while
// the rest arrives; a slot handed over is loaded from what was handed over, and
// what the fetch returns in it is ignored.
using FetchDay =
    std::function<DayPackets(const std::string& selector, Day day, const EarlyPacket& early)>;

} // namespace dotz
