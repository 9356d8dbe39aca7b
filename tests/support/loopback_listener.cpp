#include "loopback_listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace dotz::testing {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

LoopbackListener::LoopbackListener(std::function<void(int client)> serve) : serve_(std::move(serve))
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
            if (client < 0 || stopped_) {
                if (client >= 0)
                    ::close(client);
                return;
            }
            sockets_.push_back(client);
            threads_.emplace_back([this, client] { serve_(client); });
        }
    });
}

LoopbackListener::~LoopbackListener()
{
    stop();
    acceptor_.join();
    for (std::thread& t : threads_)
        t.join();
    for (const int s : sockets_)
        ::close(s);
    ::close(listener_);
}

bool LoopbackListener::hold(int socket)
{
    std::lock_guard lock(m_);
    if (stopped_)
        return false;
    sockets_.push_back(socket);
    return true;
}

void LoopbackListener::stop()
{
    std::lock_guard lock(m_);
    stopped_ = true;
    for (const int s : sockets_)
        ::shutdown(s, SHUT_RDWR);
    ::shutdown(listener_, SHUT_RDWR);
}

bool LoopbackListener::stopped()
{
    std::lock_guard lock(m_);
    return stopped_;
}

} // namespace dotz::testing
