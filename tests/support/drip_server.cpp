#include "drip_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace dotz::testing {

std::string DripServer::reply(int status, const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string DripServer::description()
{
    return reply(200, R"({"object":"Krt52410.rdmExportaDotz","methods":["GetPrincipal"]})");
}

DripServer::DripServer(Answer get, Answer post) : get_(std::move(get)), post_(std::move(post))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        std::abort();
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
        for (;;) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard lock(m_);
            if (client < 0 || stopped_) {
                if (client >= 0)
                    ::close(client);
                return;
            }
            clients_.push_back(client);
            threads_.emplace_back([this, client] { serve(client); });
        }
    });
}

DripServer::~DripServer()
{
    {
        std::lock_guard lock(m_);
        stopped_ = true;
        for (const int c : clients_)
            ::shutdown(c, SHUT_RDWR);
    }
    stopping_.notify_all();
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& t : threads_)
        t.join();
    for (const int c : clients_)
        ::close(c);
    ::close(listener_);
}

bool DripServer::send(int client, const Answer& a)
{
    const size_t head = std::min(a.dripFrom, a.bytes.size());
    if (::send(client, a.bytes.data(), head, MSG_NOSIGNAL) != static_cast<ssize_t>(head))
        return false;
    for (size_t i = head; i < a.bytes.size(); ++i) {
        std::unique_lock lock(m_);
        if (stopping_.wait_for(lock, a.every, [this] { return stopped_; }))
            return false;
        lock.unlock();
        if (::send(client, a.bytes.data() + i, 1, MSG_NOSIGNAL) != 1)
            return false;
    }
    return true;
}

void DripServer::serve(int client)
{
    std::string in;
    char buffer[4096];
    for (;;) {
        // One request: its head, then as many bytes as its Content-Length says.
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            in.append(buffer, static_cast<size_t>(n));
        }
        size_t length = 0;
        const size_t field = in.find("Content-Length: ");
        if (field != std::string::npos && field < end)
            length = std::strtoul(in.c_str() + field + 16, nullptr, 10);
        while (in.size() < end + 4 + length) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            in.append(buffer, static_cast<size_t>(n));
        }
        const bool post = in.starts_with("POST ");
        in.erase(0, end + 4 + length);
        if (!send(client, post ? post_ : get_))
            return;
    }
}

} // namespace dotz::testing
