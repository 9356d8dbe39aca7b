#include "tcp_relay.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace dotz::testing {
namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

} // namespace

TcpRelay::TcpRelay(int upstreamPort, std::string marker, size_t replyBytesBeforeKill)
    : upstream_(upstreamPort), marker_(std::move(marker)), beforeKill_(replyBytesBeforeKill)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        std::abort();
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] {
        for (;;) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard lock(m_);
            if (client < 0 || killed_) {
                if (client >= 0)
                    ::close(client);
                return;
            }
            sockets_.push_back(client);
            threads_.emplace_back([this, client] { relay(client); });
        }
    });
}

TcpRelay::~TcpRelay()
{
    kill();
    acceptor_.join();
    for (std::thread& t : threads_)
        t.join();
    for (const int s : sockets_)
        ::close(s);
    ::close(listener_);
}

bool TcpRelay::killed()
{
    std::lock_guard lock(m_);
    return killed_;
}

void TcpRelay::kill()
{
    std::lock_guard lock(m_);
    killed_ = true;
    // The kernel ends a killed process's connections as it ends these.
    for (const int s : sockets_)
        ::shutdown(s, SHUT_RDWR);
    ::shutdown(listener_, SHUT_RDWR);
}

void TcpRelay::relay(int client)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    {
        std::lock_guard lock(m_);
        sockets_.push_back(server);
        if (killed_)
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
                kill();
                return;
            }
        }
    }
}

} // namespace dotz::testing
