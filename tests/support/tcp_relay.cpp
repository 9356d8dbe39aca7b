#include "tcp_relay.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dotz::testing {

TcpRelay::TcpRelay(int upstreamPort, std::string marker, size_t replyBytesBeforeKill)
    : upstream_(upstreamPort), marker_(std::move(marker)), beforeKill_(replyBytesBeforeKill),
      listener_([this](int client) { relay(client); })
{
}

void TcpRelay::relay(int client)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!listener_.hold(server)) {
        ::close(server);
        return;
    }
    const sockaddr_in a = loopback(upstream_);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return;
    bool marked = false;
    size_t passed = 0;
    std::string seen; // the request bytes, for the marker
    char buffer[16384];
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (::poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            size_t send = static_cast<size_t>(n);
            if (i == 0 && !marked) {
                seen.append(buffer, send);
                marked = seen.find(marker_) != std::string::npos;
                if (seen.size() > 1 << 16)
                    seen.erase(0, seen.size() - marker_.size());
            } else if (i == 1 && marked) {
                send = std::min(send, beforeKill_ - passed);
                passed += send;
            }
            if (::send(fds[1 - i].fd, buffer, send, MSG_NOSIGNAL) != static_cast<ssize_t>(send))
                return;
            if (marked && passed >= beforeKill_) {
                // The kernel ends a killed process's connections as this ends them.
                listener_.stop();
                return;
            }
        }
    }
}

} // namespace dotz::testing
