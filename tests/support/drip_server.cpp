#include "drip_server.h"

#include <sys/socket.h>

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

DripServer::DripServer(Answer get, Answer post)
    : get_(std::move(get)), post_(std::move(post)), listener_([this](int client) { serve(client); })
{
}

DripServer::~DripServer()
{
    {
        std::lock_guard lock(m_);
        stopped_ = true;
    }
    stopping_.notify_all();
    listener_.stop();
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
