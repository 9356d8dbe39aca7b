#pragma once
// A transport that records what a TServerConnection asks of it, for tests that
// run without an application server.
#include "base/error.h"
#include "connection/server_connection.h"
#include "toolkit/socket_connection.h"

#include <memory>
#include <string>
#include <vector>

namespace dotz::test {

struct ConnectionLog
{
    std::vector<std::string> events; // "host=..", "port=..", "open", "close", "call M"
    bool failOpen = false;
    int count(const std::string& event) const
    {
        int n = 0;
        for (const auto& e : events)
            n += e == event;
        return n;
    }
};

class FakeBackend final : public ConnectionBackend
{
  public:
    explicit FakeBackend(std::shared_ptr<ConnectionLog> log) : log_(std::move(log)) {}

    void setBeforeConnect(std::function<void()> handler) override { before_ = std::move(handler); }
    void setServerName(std::string) override {}
    void SetHost(std::string host) override { log_->events.push_back("host=" + host); }
    void setPort(int port) override { log_->events.push_back("port=" + std::to_string(port)); }
    void setToken(std::string) override {}
    void setTls(bool, std::string) override {}
    void setConnected(bool open) override
    {
        if (open == open_)
            return;
        if (open) {
            if (before_)
                before_();
            if (log_->failOpen)
                throw ConnectionError("cannot connect to 127.0.0.1:1");
            log_->events.push_back("open");
        } else {
            log_->events.push_back("close");
        }
        open_ = open;
    }
    bool connected() const override { return open_; }
    Variant call(std::string_view method, const std::vector<Variant>&) override
    {
        setConnected(true);
        log_->events.push_back("call " + std::string(method));
        return Variant();
    }

  private:
    std::shared_ptr<ConnectionLog> log_;
    std::function<void()> before_;
    bool open_ = false;
};

// Installs the fake for every connection made while it lives.
class FakeConnections
{
  public:
    FakeConnections() : log(std::make_shared<ConnectionLog>())
    {
        previous_ = setBackendFactory([l = log] { return std::make_unique<FakeBackend>(l); });
    }
    ~FakeConnections() { setBackendFactory(std::move(previous_)); }
    std::shared_ptr<ConnectionLog> log;

  private:
    BackendFactory previous_;
};

} // namespace dotz::test
