#include "server_connection.h"

#include "curl_exchange.h"
#include "reply_stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace dotz {
namespace {

using namespace curl;

// An object's description lists a few method names.
constexpr size_t kDescriptionBytes = 1 << 20;

curl::Limits limitsOf(const ServerConnection::CallLimits& l)
{
    return {l.minRate, l.window, l.callTimeout, l.maxReplyBytes};
}

} // namespace

struct ServerConnection::Http : curl::Handle
{
    using Handle::Handle;
};

ServerConnection::ServerConnection()
{
    initialiseOnce();
}

ServerConnection::~ServerConnection()
{
    // Its sockets close through closeSocket, while the list of them still exists.
    http_.reset();
}

void ServerConnection::setServerName(std::string name)
{
    if (name != serverName_)
        setConnected(false);
    serverName_ = std::move(name);
}

void ServerConnection::setBeforeConnect(BeforeConnectHandler handler)
{
    beforeConnect_ = std::move(handler);
}

void ServerConnection::SetHost(std::string host)
{
    if (host != host_)
        setConnected(false);
    host_ = std::move(host);
}

void ServerConnection::setPort(int port)
{
    if (port < 1 || port > 65535)
        throw Error("a porta " + std::to_string(port) +
                    " do servidor de aplicação não está entre 1 e 65535");
    if (port != port_)
        setConnected(false);
    port_ = port;
}

void ServerConnection::setToken(std::string token)
{
    if (token != token_)
        setConnected(false);
    token_ = std::move(token);
}

void ServerConnection::setTls(bool on, std::string caFile)
{
    if (on != tls_ || caFile != caFile_)
        setConnected(false);
    tls_ = on;
    caFile_ = std::move(caFile);
}

std::string ServerConnection::where() const
{
    return "servidor de aplicação " + host_ + ":" + std::to_string(port_) + " (objeto " +
           serverName_ + ")";
}

void ServerConnection::fail(const std::string& message, const std::string& detail) const
{
    throw ConnectionError(message, detail);
}

void ServerConnection::fail(const std::string& failure, const std::string& why,
                            const std::string& detail, bool anotherMayAnswer) const
{
    if (anotherMayAnswer)
        throw ServerUnavailable(failure + ": " + why + ".", why, detail);
    throw ConnectionError(failure + ": " + why + ".", detail);
}

int ServerConnection::openSocket(int family, int type, int protocol)
{
    std::lock_guard lock(socketsLock_);
    if (cancelled_)
        return -1;
    const int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (s >= 0)
        sockets_.push_back(s);
    return s;
}

void ServerConnection::closeSocket(int s)
{
    std::lock_guard lock(socketsLock_);
    std::erase(sockets_, s);
    ::close(s);
}

void ServerConnection::cancel()
{
    cancelled_ = true;
    // A transfer waiting for bytes wakes at once; the socket closes on its own thread.
    std::lock_guard lock(socketsLock_);
    for (const int s : sockets_)
        ::shutdown(s, SHUT_RDWR);
}

void ServerConnection::setConnected(bool open)
{
    if (!open) {
        http_.reset();
        methods_.clear();
        connected_ = false;
        return;
    }
    if (connected_)
        return;
    // BeforeConnect sets host and port; what it throws passes on unchanged.
    if (beforeConnect_)
        beforeConnect_(*this);
    openNow();
}

void ServerConnection::openNow()
{
    const std::string failure = "Falha na conexão com o " + where();
    if (serverName_.empty())
        fail("Falha na conexão com o servidor de aplicação: nenhum objeto foi indicado.");
    if (host_.empty())
        fail(failure + ": nenhum servidor foi indicado.");
    if (cancelled_)
        fail(failure + ": " + kCancelled + ".");
    if (std::any_of(token_.begin(), token_.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        fail(failure + ": o token de acesso tem caracteres de controle.");

    auto http =
        std::make_unique<Http>(cancelled_, Sockets{[this](int family, int type, int protocol) {
                                                       return openSocket(family, type, protocol);
                                                   },
                                                   [this](int s) { closeSocket(s); }});
    switch (http->setUp({host_, port_, std::string(wire::kPathPrefix) + serverName_, tls_, caFile_,
                         token_, serverName_})) {
    case Handle::Setup::Ready:
        break;
    case Handle::Setup::NoMemory:
        fail(failure + ": faltou memória.");
    case Handle::Setup::BadHost:
        fail(failure + ": o nome do servidor \"" + host_ + "\" não é um nome de rede válido.");
    }
    http_ = std::move(http);

    std::string description;
    const Outcome got =
        http_->get({[](std::uint64_t) {},
                    [&description](const char* data, size_t size) {
                        if (size > kDescriptionBytes - description.size())
                            return false;
                        description.append(data, size);
                        return true;
                    },
                    [] { return std::string("a descrição do objeto passa de 1 MiB"); }},
                   limitsOf(limits_));
    if (!got.why.empty()) {
        setConnected(false);
        fail(failure, got.why, got.detail, got.anotherMayAnswer);
    }
    try {
        methods_ = readObjectDescription(description, serverName_);
    } catch (const ConnectionError& e) {
        setConnected(false);
        fail(failure + ": " + e.what() + ".", e.detail());
    }
    connected_ = true;
}

ServerConnection::Posted ServerConnection::post(std::string_view method,
                                                const std::vector<Variant>& params,
                                                const Receiver& receive)
{
    if (!connected_)
        setConnected(true);
    Posted posted{nextId_++, std::string(method),
                  "Falha na chamada de " + std::string(method) + " ao " + where()};
    if (cancelled_)
        fail(posted.failure + ": " + kCancelled + ".");

    std::string body;
    try {
        body = jsonRpcRequest(posted.id, method, params);
    } catch (const Error& e) {
        fail(posted.failure + ": " + e.what() + ".");
    }
    std::uint64_t received = 0;
    auto take = receive.take;
    if (received_)
        take = [&](const char* data, size_t size) {
            const bool more = receive.take(data, size);
            received_(received += size);
            return more;
        };
    const Outcome got =
        http_->post(body, {receive.expect, take, receive.refused}, limitsOf(limits_));
    if (!got.why.empty()) {
        // A broken connection, or one the server no longer takes, is not kept for
        // the next call; one that answered another status (429, 500, 503) is.
        if (got.broken || got.status == 401 || got.status == 404)
            setConnected(false);
        fail(posted.failure, got.why, got.detail, got.anotherMayAnswer);
    }
    return posted;
}

Variant ServerConnection::call(std::string_view method, const std::vector<Variant>& params)
{
    // The whole reply goes into one buffer, padded for the decoder; the packets in
    // it are handed on as slices of that buffer.
    auto buffer = std::make_shared<std::string>();
    const Receiver receive{
        [&buffer](std::uint64_t length) {
            // The header is the peer's word: room for at most 1 GiB up front, the
            // rest only as it arrives.
            buffer->reserve(std::min<std::uint64_t>(length, std::uint64_t{1} << 30) +
                            Packet::kPadding);
        },
        [&buffer](const char* data, size_t size) {
            if (buffer->capacity() < buffer->size() + size)
                buffer->reserve(std::max(buffer->capacity() * 2, buffer->size() + size + 4096));
            buffer->append(data, size);
            return true;
        },
        [] { return std::string(); }};
    const Posted posted = post(method, params, receive);
    const size_t length = buffer->size();
    buffer->append(Packet::kPadding, ' ');
    try {
        return readReply(std::move(buffer), length, posted.id, posted.failure, {}, posted.method);
    } catch (const ConnectionError& e) {
        fail(e.what(), e.detail());
    }
}

Variant ServerConnection::call(std::string_view method, const std::vector<Variant>& params,
                               const PacketSink& early, size_t count)
{
    ReplyStream stream(early, count, limits_.maxReplyBytes, ReplyStream::kMarkEvery,
                       ReplyStream::Handover::WhileArriving);
    const Receiver receive{
        [](std::uint64_t) {},
        [&stream](const char* data, size_t size) { return stream.feed(data, size); },
        [&stream] { return stream.error(); }};
    const Posted posted = post(method, params, receive);
    try {
        return stream.finish(posted.id, posted.failure, posted.method);
    } catch (const ConnectionError& e) {
        fail(e.what(), e.detail());
    }
}

} // namespace dotz
