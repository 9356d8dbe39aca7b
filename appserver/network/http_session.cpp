#include "http_session.h"

#include "request_head.h"
#include "spool.h"

#include "appserver/rpc/rpc.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace dotz::appserver {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// A request line and its headers; the server's own requests need a few hundred bytes.
constexpr std::uint32_t kHeaderLimit = 16 * 1024;
// What one chunk of a spooled reply takes from the spool at most.
constexpr size_t kChunk = 256 * 1024;

// Stream is a TCP stream or a TLS stream over one; everything but the
// handshake and the close is shared.
template <class Stream>
class Session final : public Exchange, public std::enable_shared_from_this<Session<Stream>>
{
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  public:
    Session(std::shared_ptr<SessionServices> services, Stream stream, std::string address)
        : services_(std::move(services)), s_(*services_), stream_(std::move(stream)),
          address_(std::move(address)), rateTimer_(stream_.get_executor())
    {
    }
    ~Session() override
    {
        if (pending_)
            pending_->abandon();
        if (spool_)
            spool_->abandon();
        s_.ended(this, address_);
    }

    void start()
    {
        if constexpr (kTls) {
            lowest().expires_after(s_.options.requestTimeout);
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec)
                                            return self->lowest().close();
                                        self->awaitRequest();
                                    });
        } else {
            awaitRequest();
        }
    }

    void reply(unsigned status, std::string body, ReplyExtra extra) override
    {
        net::dispatch(stream_.get_executor(),
                      [self = this->shared_from_this(), status, body = std::move(body),
                       extra]() mutable { self->writeReply(status, std::move(body), extra); });
    }

    void await(std::shared_ptr<PendingReply> reply) override
    {
        pending_ = std::move(reply);
        pull();
    }

    void holdCall(std::shared_ptr<void> ticket) override { call_ = std::move(ticket); }
    const std::string& address() const override { return address_; }

    void closeIfIdle() override
    {
        net::post(stream_.get_executor(), [self = this->shared_from_this()] {
            if (self->idle_)
                self->lowest().close();
        });
    }

  private:
    std::shared_ptr<SessionServices> services_;
    SessionServices& s_;
    Stream stream_;
    std::string address_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> reply_;
    bool idle_ = true; // waiting for a request or reading one: a stop may close it
    std::array<char, 16 * 1024> drain_{};
    std::shared_ptr<void> call_;
    std::shared_ptr<PendingReply> pending_; // until it is whole, or its body starts

    // A spooled reply: its head, the chunk being written, and the rate rule.
    std::shared_ptr<Spool> spool_;
    http::response<http::empty_body> head_;
    std::optional<http::response_serializer<http::empty_body>> serializer_;
    std::string piece_;
    std::string chunkHead_;
    std::optional<beast::buffers_suffix<std::array<net::const_buffer, 3>>> chunk_;
    size_t sent_ = 0;
    net::steady_timer rateTimer_;
    bool writing_ = false;
    Clock::time_point writeStart_;
    Clock::duration windowWriting_{};
    size_t takenBefore_ = 0; // what the peer had taken when the window began

    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }
    bool keepAlive() const { return note.keepAlive && !s_.stopping; }

    // The idle limit runs until the first byte of a request, the request's own
    // deadline from there on.
    void awaitRequest()
    {
        idle_ = true;
        if (s_.stopping)
            return close();
        if (buffer_.size() > 0)
            return readRequest();
        lowest().expires_after(s_.options.idleTimeout);
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                                    if (ec)
                                        return self->lowest().close();
                                    self->buffer_.commit(n);
                                    self->readRequest();
                                });
    }

    void readRequest()
    {
        note = {};
        note.id = ++s_.lastId;
        note.start = Clock::now();
        lowest().expires_after(s_.options.requestTimeout);
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(s_.options.maxBody);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = this->shared_from_this()](beast::error_code ec, size_t) {
                if (ec)
                    return self->refuse(ec);
                if (!plainContentLength(self->parser_->get()))
                    return self->refuseWith(400, "Content-Length must be one decimal number");
                const bool more = !self->parser_->is_done();
                if (more && self->parser_->get()[http::field::expect] == "100-continue")
                    return self->continueBody();
                self->readBody();
            });
    }

    void continueBody()
    {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             if (ec)
                                 return self->lowest().close();
                             self->readBody();
                         });
    }

    void readBody()
    {
        if (parser_->is_done())
            return onRequest();
        // The parser stops at the body limit, chunked bodies included: nothing
        // past it is kept.
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             if (ec)
                                 return self->refuse(ec);
                             self->onRequest();
                         });
    }

    void refuse(beast::error_code ec)
    {
        if (ec == http::error::body_limit)
            return refuseWith(413, "request body larger than allowed");
        if (ec == http::error::header_limit)
            return refuseWith(431, "request headers larger than allowed");
        if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return refuseWith(400, "malformed request: " + ec.message());
        if (ec == beast::error::timeout) {
            note.detail = "request not complete within the deadline: connection closed";
            s_.log.request(address_, note, 408);
        }
        lowest().close();
    }

    // Answers a request that cannot be read to its end, then closes.
    void refuseWith(unsigned status, const std::string& why)
    {
        if (parser_ && parser_->is_header_done()) {
            note.method = std::string(parser_->get().method_string());
            note.path = decodedPath(parser_->get().target());
        }
        note.detail = why;
        note.keepAlive = false;
        writeReply(status, errorBody(why), {});
    }

    void onRequest()
    {
        idle_ = false;
        lowest().expires_never();
        const auto& req = parser_->get();
        note.method = std::string(req.method_string());
        note.path = decodedPath(req.target());
        note.keepAlive = req.keep_alive();
        s_.handle(this->shared_from_this(), req);
    }

    void writeReply(unsigned status, std::string body, ReplyExtra extra)
    {
        reply_ = {};
        reply_.version(11);
        reply_.result(status);
        reply_.set(http::field::content_type, note.contentType);
        if (status == 401)
            reply_.set(http::field::www_authenticate, "Bearer");
        if (extra.allow)
            reply_.set(http::field::allow, extra.allow);
        if (extra.retryAfter.count() > 0)
            reply_.set(http::field::retry_after, std::to_string(extra.retryAfter.count()));
        reply_.keep_alive(keepAlive());
        reply_.body() = std::move(body);
        reply_.prepare_payload();
        s_.log.metrics().bytesSent(reply_.body().size());
        // The call ends as its last bytes leave: a client that calls again at
        // once must not find it still counted.
        call_.reset();
        lowest().expires_after(s_.options.writeTimeout);
        s_.log.request(address_, note, status);
        http::async_write(stream_, reply_,
                          [self = this->shared_from_this()](beast::error_code ec, size_t) {
                              if (ec) {
                                  self->notDelivered(ec);
                                  return self->lowest().close();
                              }
                              self->nextRequest();
                          });
    }

    // Takes what a reply made elsewhere has come to; when it has come to
    // nothing yet, it wakes the session.
    void pull()
    {
        if (!pending_)
            return;
        const auto state = pending_->poll([self = this->shared_from_this()] {
            net::post(self->stream_.get_executor(), [self] { self->pull(); });
        });
        switch (state) {
        case PendingReply::State::Waiting:
            return;
        case PendingReply::State::Whole: {
            WholeReply whole = pending_->takeWhole();
            pending_.reset();
            note.detail += whole.detail;
            if (whole.outcome)
                note.outcome = *whole.outcome;
            return writeReply(whole.status, std::move(whole.body), whole.extra);
        }
        case PendingReply::State::Streaming:
            startSpooled(pending_->body());
            pending_.reset();
            return;
        }
    }

    // ---- a spooled reply --------------------------------------------------------

    void startSpooled(std::shared_ptr<Spool> spool)
    {
        spool_ = std::move(spool);
        sent_ = 0;
        head_ = {};
        head_.result(http::status::ok);
        head_.set(http::field::content_type, "application/json");
        head_.keep_alive(keepAlive());
        head_.chunked(true);
        serializer_.emplace(head_);
        lowest().expires_after(s_.options.writeTimeout);
        http::async_write_header(stream_, *serializer_,
                                 [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                     if (ec)
                                         return self->peerGone(ec);
                                     // From here the rate rule is the deadline.
                                     self->lowest().expires_never();
                                     self->startWindow();
                                     self->pump();
                                 });
    }

    // Sends what the spool holds; when it holds nothing, the spool wakes it.
    void pump()
    {
        if (!spool_)
            return;
        const Spool::State state = spool_->take(piece_, kChunk, [self = this->shared_from_this()] {
            net::post(self->stream_.get_executor(), [self] { self->pump(); });
        });
        switch (state) {
        case Spool::State::Data: {
            s_.log.metrics().bytesSent(piece_.size());
            char size[24];
            std::snprintf(size, sizeof size, "%zx\r\n", piece_.size());
            chunkHead_ = size;
            chunk_.emplace(std::array<net::const_buffer, 3>{
                net::buffer(chunkHead_), net::buffer(piece_), net::buffer("\r\n", 2)});
            return writeChunk();
        }
        case Spool::State::Empty:
            return;
        case Spool::State::Ended:
            return endSpooled();
        case Spool::State::Failed:
            // Part of the reply may be gone: breaking the connection is the only
            // way left to tell the client that it is incomplete.
            note.detail += spool_->detail();
            note.outcome = ServerMetrics::Outcome::BrokenOff;
            s_.log.request(address_, note, 200);
            return cut();
        }
    }

    // In pieces as the socket takes them, so that the rate rule sees progress.
    void writeChunk()
    {
        writing_ = true;
        writeStart_ = Clock::now();
        stream_.async_write_some(*chunk_,
                                 [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                                     self->writing_ = false;
                                     self->windowWriting_ += Clock::now() - self->writeStart_;
                                     if (!self->spool_)
                                         return; // cut off meanwhile
                                     if (ec)
                                         return self->peerGone(ec);
                                     self->sent_ += n;
                                     self->chunk_->consume(n);
                                     if (net::buffer_size(*self->chunk_) > 0)
                                         return self->writeChunk();
                                     self->pump();
                                 });
    }

    void endSpooled()
    {
        rateTimer_.cancel();
        note.detail += spool_->detail();
        spool_.reset();
        // The log line goes out with the last write, so that it is there once the
        // client has its answer.
        s_.log.request(address_, note, 200);
        call_.reset();
        static constexpr std::string_view kLast = "0\r\n\r\n";
        lowest().expires_after(s_.options.writeTimeout);
        net::async_write(stream_, net::buffer(kLast.data(), kLast.size()),
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             if (ec) {
                                 self->notDelivered(ec);
                                 return self->lowest().close();
                             }
                             self->nextRequest();
                         });
    }

    // The rate rule: over each window, the time spent waiting on the peer must
    // have moved minSendRate bytes a second. Time spent waiting for the
    // database is not the peer's.
    void startWindow()
    {
        takenBefore_ = taken();
        windowWriting_ = {};
        if (writing_)
            writeStart_ = Clock::now();
        rateTimer_.expires_after(s_.options.sendRateWindow);
        rateTimer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (!ec && self->spool_)
                self->checkRate();
        });
    }

    // What the peer has taken: the bytes written, less those still in the
    // socket's send queue. A write completes only once a third of a large
    // send buffer is free, which a slow peer above the minimum rate may take
    // longer than a window to make.
    size_t taken()
    {
        int queued = 0;
        if (::ioctl(lowest().socket().native_handle(), TIOCOUTQ, &queued) != 0 || queued < 0)
            queued = 0;
        return sent_ > static_cast<size_t>(queued) ? sent_ - static_cast<size_t>(queued) : 0;
    }

    void checkRate()
    {
        const size_t windowBytes = taken() - std::min(takenBefore_, taken());
        auto waited = windowWriting_;
        if (writing_)
            waited += Clock::now() - writeStart_;
        const double seconds = std::chrono::duration<double>(waited).count();
        const double window = std::chrono::duration<double>(s_.options.sendRateWindow).count();
        if (seconds >= window / 2 && static_cast<double>(windowBytes) <
                                         static_cast<double>(s_.options.minSendRate) * seconds) {
            char text[160];
            std::snprintf(text, sizeof text,
                          " cut off after %zu bytes: the peer took %zu bytes in the last %.1f s,"
                          " under the minimum send rate of %zu bytes/s",
                          sent_, windowBytes, window, s_.options.minSendRate);
            note.detail += text;
            note.outcome = ServerMetrics::Outcome::BrokenOff;
            s_.log.request(address_, note, 200);
            return cut();
        }
        startWindow();
    }

    void peerGone(beast::error_code ec)
    {
        note.detail +=
            " the peer went away after " + std::to_string(sent_) + " bytes (" + ec.message() + ")";
        note.outcome = ServerMetrics::Outcome::BrokenOff;
        s_.log.request(address_, note, 200);
        cut();
    }

    // Ends a spooled reply before its end: the spool is freed, and the query
    // that fills it stops at its next piece.
    void cut()
    {
        rateTimer_.cancel();
        if (spool_)
            spool_->abandon();
        spool_.reset();
        call_.reset();
        idle_ = true;
        lowest().close();
    }

    // A failed write adds a line to the request's.
    void notDelivered(beast::error_code ec)
    {
        s_.log.line(address_ + " [" + std::to_string(note.id) +
                    "] the reply could not be written: " + ec.message());
    }

    void nextRequest()
    {
        call_.reset();
        if (keepAlive())
            return awaitRequest();
        close();
    }

    // A close after a reply. TLS says so first; over plain TCP the unread rest
    // of a refused request is drained, so that the client reads the reply
    // before the connection resets.
    void close()
    {
        idle_ = true;
        call_.reset();
        lowest().expires_after(std::chrono::seconds(2));
        if constexpr (kTls) {
            stream_.async_shutdown(
                [self = this->shared_from_this()](beast::error_code) { self->lowest().close(); });
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            drain();
        }
    }

    void drain()
    {
        lowest().async_read_some(net::buffer(drain_),
                                 [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                     if (ec)
                                         return self->lowest().close();
                                     self->drain();
                                 });
    }
};

} // namespace

std::shared_ptr<Exchange> startSession(tcp::socket socket, ssl::context* tls, std::string address,
                                       std::shared_ptr<SessionServices> services)
{
    if (tls) {
        using TlsStream = beast::ssl_stream<beast::tcp_stream>;
        auto session = std::make_shared<Session<TlsStream>>(
            std::move(services), TlsStream(std::move(socket), *tls), std::move(address));
        session->start();
        return session;
    }
    auto session = std::make_shared<Session<beast::tcp_stream>>(
        std::move(services), beast::tcp_stream(std::move(socket)), std::move(address));
    session->start();
    return session;
}

} // namespace dotz::appserver
