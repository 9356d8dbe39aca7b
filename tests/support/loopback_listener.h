#pragma once
// A TCP listener on a loopback port of its own, for the tests' stand-in peers:
// each connection is served on a thread of its own until stop(), which ends every
// connection it holds and stops listening.
#include <netinet/in.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace dotz::testing {

sockaddr_in loopback(int port);

class LoopbackListener
{
  public:
    explicit LoopbackListener(std::function<void(int client)> serve);
    // Stops, then waits for every connection's thread.
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return port_; }
    // Holds `socket` among those stop() ends and the end closes; false, holding
    // nothing, once stopped.
    bool hold(int socket);
    void stop();
    bool stopped();

  private:
    std::function<void(int)> serve_;
    int listener_ = -1;
    int port_ = 0;
    std::mutex m_;
    bool stopped_ = false;
    std::vector<int> sockets_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace dotz::testing
