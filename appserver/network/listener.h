#pragma once
// Accepts connections and starts a session on each; counts them by client
// address; closes the idle ones when the server stops.
#include "http_session.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace dotz::appserver {

class Listener
{
  public:
    // handle: runs each request on its session's strand.
    Listener(boost::asio::io_context& ioc, const ServerOptions& options, RequestLog& log,
             boost::asio::ssl::context* tls, const std::atomic<bool>& stopping, Handler handle);

    // Throws dotz::Error naming address and port.
    void bind();
    int port() const { return port_; }
    // From any thread: accepting starts, or stops along with the idle connections.
    void start();
    void stop();

  private:
    // Connections by client address (the cap), and the open ones (for stop()).
    // Shared with the sessions, which may outlive the listener.
    struct Open
    {
        std::mutex mutex;
        std::map<std::string, int> perAddress;
        std::set<std::string> refused; // logged once until they fall below the cap
        std::unordered_map<Exchange*, std::weak_ptr<Exchange>> sessions;
        ServerMetrics& metrics;
        explicit Open(ServerMetrics& m) : metrics(m) {}
        void forget(Exchange* c, const std::string& address);
    };

    void accept();
    void open(boost::asio::ip::tcp::socket socket);
    bool admit(const std::string& address);

    boost::asio::io_context& ioc_;
    const ServerOptions& options_;
    RequestLog& log_;
    boost::asio::ssl::context* tls_;
    std::shared_ptr<Open> open_;
    std::shared_ptr<SessionServices> services_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    int port_ = 0;
};

} // namespace dotz::appserver
