#pragma once
// A stand-in for a server process that can be killed: it relays TCP to a real
// server until a request holding a marker comes, lets the first bytes of that
// request's reply through, then closes every connection and stops listening,
// as a server killed mid-reply does.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dotz::testing {

class TcpRelay
{
  public:
    TcpRelay(int upstreamPort, std::string marker, size_t replyBytesBeforeKill);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;
    int port() const { return port_; }
    bool killed();

  private:
    void relay(int client);
    void kill();

    int upstream_;
    std::string marker_;
    size_t beforeKill_;
    int listener_ = -1;
    int port_ = 0;
    std::mutex m_;
    bool killed_ = false;
    std::vector<int> sockets_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace dotz::testing
