#include "listener.h"

#include "base/error.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

namespace dotz::appserver {

namespace net = boost::asio;
using tcp = net::ip::tcp;

Listener::Listener(net::io_context& ioc, const ServerOptions& options, RequestLog& log,
                   net::ssl::context* tls, const std::atomic<bool>& stopping, Handler handle)
    : ioc_(ioc), options_(options), log_(log), tls_(tls),
      open_(std::make_shared<Open>(log.metrics())),
      services_(new SessionServices{
          options, log, stopping, 0, std::move(handle),
          [open = open_](Exchange* c, const std::string& address) { open->forget(c, address); }}),
      strand_(net::make_strand(ioc)), acceptor_(strand_), retry_(strand_)
{
}

void Listener::bind()
{
    const std::string where = options_.listen + ":" + std::to_string(options_.port);
    if (options_.port < 0 || options_.port > 65535)
        throw Error("port " + std::to_string(options_.port) + " is not between 0 and 65535");
    boost::system::error_code ec;
    tcp::resolver resolver(ioc_);
    const auto found =
        resolver.resolve(options_.listen, std::to_string(options_.port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty())
        throw Error("cannot listen on " + where + ": " + (ec ? ec.message() : "no such address"));
    const tcp::endpoint endpoint = found.begin()->endpoint();
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        acceptor_.close();
        throw Error("cannot listen on " + where + " (" + ec.message() + ")");
    }
    port_ = acceptor_.local_endpoint().port();
}

void Listener::start()
{
    net::dispatch(strand_, [this] { accept(); });
}

void Listener::accept()
{
    acceptor_.async_accept(net::make_strand(ioc_),
                           [this](boost::system::error_code ec, tcp::socket socket) {
                               if (ec == net::error::operation_aborted || services_->stopping)
                                   return;
                               if (ec) {
                                   // Out of descriptors, most likely: wait for connections to end.
                                   log_.line("cannot accept a connection: " + ec.message());
                                   retry_.expires_after(std::chrono::milliseconds(100));
                                   retry_.async_wait([this](boost::system::error_code e) {
                                       if (!e)
                                           accept();
                                   });
                                   return;
                               }
                               open(std::move(socket));
                               accept();
                           });
}

void Listener::open(tcp::socket socket)
{
    boost::system::error_code ec;
    // Replies go out in several writes: Nagle's algorithm would hold each one
    // back until the client acknowledges the previous.
    socket.set_option(tcp::no_delay(true), ec);
    if (options_.sendBuffer > 0)
        socket.set_option(net::socket_base::send_buffer_size(options_.sendBuffer), ec);
    const auto peer = socket.remote_endpoint(ec);
    if (ec)
        return;
    std::string address = peer.address().to_string();
    if (!admit(address))
        return;
    open_->metrics.connectionOpened(); // before its request can be answered
    auto session = startSession(std::move(socket), tls_, std::move(address), services_);
    std::lock_guard lock(open_->mutex);
    open_->sessions[session.get()] = session;
}

bool Listener::admit(const std::string& address)
{
    std::lock_guard lock(open_->mutex);
    int& n = open_->perAddress[address];
    if (n >= options_.maxConnectionsPerAddress) {
        if (open_->refused.insert(address).second)
            log_.line(address + " refused: " + std::to_string(n) +
                      " connections from this address are open already");
        return false;
    }
    ++n;
    return true;
}

void Listener::Open::forget(Exchange* c, const std::string& address)
{
    std::lock_guard lock(mutex);
    sessions.erase(c);
    metrics.connectionClosed();
    if (--perAddress[address] <= 0)
        perAddress.erase(address);
    refused.erase(address);
}

void Listener::stop()
{
    net::post(strand_, [this] {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
        std::vector<std::shared_ptr<Exchange>> open;
        {
            std::lock_guard lock(open_->mutex);
            for (auto& entry : open_->sessions)
                if (auto c = entry.second.lock())
                    open.push_back(std::move(c));
        }
        for (auto& c : open)
            c->closeIfIdle();
    });
}

} // namespace dotz::appserver
