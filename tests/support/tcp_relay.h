#pragma once
// A stand-in for a server process that can be killed: it relays TCP to a real
// server until a request holding a marker comes, lets the first bytes of that
// request's reply through, then closes every connection and stops listening,
// as a server killed mid-reply does.
#include "loopback_listener.h"

#include <string>

namespace dotz::testing {

class TcpRelay
{
  public:
    TcpRelay(int upstreamPort, std::string marker, size_t replyBytesBeforeKill);
    int port() const { return listener_.port(); }
    bool killed() { return listener_.stopped(); }

  private:
    void relay(int client);

    int upstream_;
    std::string marker_;
    size_t beforeKill_;
    LoopbackListener listener_; // last: its threads use what comes before
};

} // namespace dotz::testing
