#include "stand_in_server.h"

namespace dotz::testing {
namespace {

// The day a GetPrincipal body asks for: its last "YYYY-MM-DD" parameter.
std::string dayOf(const std::string& body)
{
    const size_t end = body.rfind("\"]");
    return end != std::string::npos && end >= 10 ? body.substr(end - 10, 10) : std::string();
}

} // namespace

StandInServer::StandInServer(int upstreamPort) : upstream_(upstreamPort)
{
    const auto forward = [this](const httplib::Request& q, httplib::Response& r) { handle(q, r); };
    server_.Get(".*", forward);
    server_.Post(".*", forward);
    port_ = server_.bind_to_any_port("127.0.0.1");
    // Bound and listening already: calls that come before the thread runs wait in the backlog.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

StandInServer::~StandInServer()
{
    release();
    server_.stop();
    thread_.join();
}

void StandInServer::stallOn(std::string day)
{
    std::lock_guard lock(m_);
    stallDay_ = std::move(day);
}

void StandInServer::dripOn(std::string day, std::chrono::milliseconds every, size_t head)
{
    std::lock_guard lock(m_);
    dripDay_ = std::move(day);
    dripEvery_ = every;
    dripHead_ = head;
}

bool StandInServer::awaitCall(const std::string& day, std::chrono::seconds limit)
{
    std::unique_lock lock(m_);
    return changed_.wait_for(lock, limit, [&] { return asked_.count(day) > 0; });
}

void StandInServer::release()
{
    {
        std::lock_guard lock(m_);
        released_ = true;
    }
    changed_.notify_all();
}

void StandInServer::handle(const httplib::Request& request, httplib::Response& response)
{
    const std::string day = request.method == "POST" ? dayOf(request.body) : std::string();
    bool stall = false, drip = false;
    {
        std::unique_lock lock(m_);
        asked_.insert(day);
        stall = !day.empty() && day == stallDay_;
        drip = !day.empty() && day == dripDay_;
        changed_.notify_all();
        if (stall) {
            changed_.wait(lock, [&] { return released_; });
            response.status = 503;
            return;
        }
    }
    httplib::Client upstream("127.0.0.1", upstream_);
    httplib::Headers headers;
    if (request.has_header("Authorization"))
        headers.emplace("Authorization", request.get_header_value("Authorization"));
    const httplib::Result reply =
        request.method == "POST"
            ? upstream.Post(request.path, headers, request.body, "application/json")
            : upstream.Get(request.path, headers);
    if (!reply) {
        response.status = 502;
        return;
    }
    response.status = reply->status;
    if (!drip) {
        response.set_content(reply->body, "application/json");
        return;
    }
    auto body = std::make_shared<std::string>(reply->body);
    response.set_content_provider(
        body->size(), "application/json",
        [this, body](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset >= dripHead_) {
                std::unique_lock lock(m_);
                if (changed_.wait_for(lock, dripEvery_, [&] { return released_; }))
                    return false;
            }
            const size_t n = offset < dripHead_ ? dripHead_ - offset : 1;
            return sink.write(body->data() + offset, std::min(n, body->size() - offset));
        });
}

} // namespace dotz::testing
