#include "server_connection.h"

#include "curl_exchange.h"
#include "reply_stream.h"
#include "transport_text.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace dotz {
namespace {

using namespace curl;

// An object's description lists a few method names.
constexpr size_t kDescriptionBytes = 1 << 20;

} // namespace

struct ServerConnection::Http
{
    CURL* easy = curl_easy_init();
    curl_slist* getHeaders = nullptr;
    curl_slist* postHeaders = nullptr;
    char error[CURL_ERROR_SIZE] = {};

    Http() = default;
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;
    ~Http()
    {
        curl_easy_cleanup(easy);
        curl_slist_free_all(getHeaders);
        curl_slist_free_all(postHeaders);
    }
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

    auto http = std::make_unique<Http>();
    CURL* easy = http->easy;
    if (!easy)
        fail(failure + ": faltou memória.");
    // The address goes through libcurl's parser, so that a host name from the
    // settings cannot carry a path or credentials of its own.
    CURLU* url = curl_url();
    const std::string host =
        host_.find(':') != std::string::npos && !host_.starts_with('[') ? "[" + host_ + "]" : host_;
    const std::string path = std::string(wire::kPathPrefix) + serverName_;
    const bool parsed =
        url && curl_url_set(url, CURLUPART_SCHEME, tls_ ? "https" : "http", 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_HOST, host.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_PORT, std::to_string(port_).c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_PATH, path.c_str(), CURLU_URLENCODE) == CURLUE_OK;
    char* text = nullptr;
    if (parsed && curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
        curl_easy_setopt(easy, CURLOPT_URL, text);
        curl_free(text);
    }
    curl_url_cleanup(url);
    if (!parsed)
        fail(failure + ": o nome do servidor \"" + host_ + "\" não é um nome de rede válido.");

    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, http->error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    // Without it every call after the first on a kept-alive connection waits for
    // the peer's delayed acknowledgement.
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &cancelled_);
    curl_easy_setopt(
        easy, CURLOPT_OPENSOCKETFUNCTION,
        +[](void* self, curlsocktype, curl_sockaddr* a) -> curl_socket_t {
            return static_cast<ServerConnection*>(self)->openSocket(a->family, a->socktype,
                                                                    a->protocol);
        });
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(
        easy, CURLOPT_CLOSESOCKETFUNCTION, +[](void* self, curl_socket_t s) {
            static_cast<ServerConnection*>(self)->closeSocket(s);
            return 0;
        });
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    if (tls_) {
        curl_easy_setopt(easy, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!caFile_.empty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, caFile_.c_str());
    } else if (!std::getenv("http_proxy") && std::getenv("HTTP_PROXY")) {
        // libcurl reads only the lower-case name for plain HTTP; a store's
        // machine may have set the other.
        curl_easy_setopt(easy, CURLOPT_PROXY, std::getenv("HTTP_PROXY"));
    }
    const auto headers = [this](std::initializer_list<const char*> lines) {
        curl_slist* list = nullptr;
        for (const char* line : lines)
            list = curl_slist_append(list, line);
        if (!token_.empty())
            list = curl_slist_append(list, ("Authorization: Bearer " + token_).c_str());
        return list;
    };
    http->getHeaders = headers({"Accept: application/json"});
    // "Expect:" keeps a larger request from waiting for a 100 Continue.
    http->postHeaders =
        headers({"Accept: application/json", "Content-Type: application/json", "Expect:"});
    http_ = std::move(http);

    std::string description;
    Exchange x{easy,
               cancelled_,
               limits_.maxReplyBytes,
               [](std::uint64_t) {},
               [&description](const char* data, size_t size) {
                   if (size > kDescriptionBytes - description.size())
                       return false;
                   description.append(data, size);
                   return true;
               },
               [] { return "a descrição do objeto passa de 1 MiB"; }};
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, http_->getHeaders);
    const Outcome got =
        perform(easy, x, http_->error, {limits_.minRate, limits_.window, limits_.callTimeout},
                host_, caFile_, serverName_);
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
    CURL* easy = http_->easy;
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, http_->postHeaders);
    std::uint64_t received = 0;
    Exchange::Take take = receive.take;
    if (received_)
        take = [&](const char* data, size_t size) {
            const bool more = receive.take(data, size);
            received_(received += size);
            return more;
        };
    Exchange x{easy, cancelled_, limits_.maxReplyBytes, receive.expect, take, receive.refused};
    const Outcome got =
        perform(easy, x, http_->error, {limits_.minRate, limits_.window, limits_.callTimeout},
                host_, caFile_, serverName_);
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
