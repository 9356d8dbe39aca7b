#include "server_connection.h"

#include "reply_stream.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>

namespace dotz {

struct ServerConnection::Http
{
    std::unique_ptr<httplib::ClientImpl> client;
    httplib::SSLClient* tls = nullptr; // the same client, when it speaks TLS
};

ServerConnection::ServerConnection() = default;
ServerConnection::~ServerConnection() = default;

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

void ServerConnection::cancel()
{
    cancelled_ = true;
    std::lock_guard lock(httpLock_);
    if (http_)
        http_->client->stop();
}

void ServerConnection::setConnected(bool open)
{
    if (!open) {
        std::unique_ptr<Http> gone;
        {
            std::lock_guard lock(httpLock_);
            gone = std::move(http_);
        }
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

std::string ServerConnection::transportFailure(int code) const
{
    switch (static_cast<httplib::Error>(code)) {
    case httplib::Error::Connection:
        return "conexão recusada ou servidor inalcançável";
    case httplib::Error::ConnectionTimeout:
        return "o servidor não aceitou a conexão a tempo";
    case httplib::Error::Read:
        return "a conexão caiu, ou nada chegou no tempo limite de leitura de " +
               std::to_string(readTimeout_.count()) + " ms";
    case httplib::Error::Write:
        return "a conexão caiu durante o envio do pedido";
    case httplib::Error::Canceled:
        return "a resposta foi recusada durante a recepção";
    case httplib::Error::SSLConnection:
        return "a negociação TLS falhou (o servidor fala HTTPS, TLS 1.2 ou mais novo?)";
    case httplib::Error::SSLLoadingCerts:
        return "o arquivo de certificados de autoridade (CA) " +
               (caFile_.empty() ? std::string("do sistema") : caFile_) + " não pôde ser lido";
    case httplib::Error::SSLServerVerification: {
        const long verify = http_ && http_->tls ? http_->tls->get_openssl_verify_result() : 0;
        if (verify != X509_V_OK)
            return std::string("o certificado do servidor não foi aceito (") +
                   X509_verify_cert_error_string(verify) + ")";
        return "o certificado do servidor não é do nome " + host_;
    }
    default:
        return "falha de transporte (" + httplib::to_string(static_cast<httplib::Error>(code)) +
               ")";
    }
}

namespace {

constexpr const char* kCancelled = "a chamada foi interrompida a pedido";

std::string secondsText(std::chrono::milliseconds d)
{
    const long long ms = d.count();
    if (ms % 3'600'000 == 0)
        return std::to_string(ms / 3'600'000) + " h";
    if (ms % 60'000 == 0 && ms >= 60'000)
        return std::to_string(ms / 60'000) + " min";
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0)
        text += "," + std::to_string(ms % 1000 / 100);
    return text + " s";
}

std::string rateText(size_t bytesPerSecond)
{
    return bytesPerSecond % 1024 == 0 ? std::to_string(bytesPerSecond / 1024) + " KiB/s"
                                      : std::to_string(bytesPerSecond) + " bytes/s";
}

// Holds a call to its limits while its reply arrives; says which one it broke.
class Pace
{
    using Clock = std::chrono::steady_clock;

  public:
    explicit Pace(const ServerConnection::CallLimits& limits)
        : limits_(limits), start_(Clock::now()), windowStart_(start_)
    {
    }
    // The reply's header is in: its rate counts from here.
    void header()
    {
        windowStart_ = Clock::now();
        windowBytes_ = 0;
    }
    // Empty while the call keeps within its limits.
    std::string take(size_t bytes)
    {
        const Clock::time_point now = Clock::now();
        if (now - start_ > limits_.callTimeout)
            return "a chamada passou do tempo máximo de " + secondsText(limits_.callTimeout) +
                   " (call_timeout)";
        windowBytes_ += bytes;
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - windowStart_);
        if (limits_.minRate == 0 || spent < limits_.window)
            return {};
        const double seconds = std::chrono::duration<double>(spent).count();
        if (static_cast<double>(windowBytes_) < static_cast<double>(limits_.minRate) * seconds)
            return "a resposta chegou devagar demais (" + std::to_string(windowBytes_) +
                   " bytes em " + secondsText(spent / 100 * 100) + ", abaixo do mínimo de " +
                   rateText(limits_.minRate) + ")";
        windowStart_ = now;
        windowBytes_ = 0;
        return {};
    }

  private:
    ServerConnection::CallLimits limits_;
    Clock::time_point start_;
    Clock::time_point windowStart_;
    size_t windowBytes_ = 0;
};

std::string statusFailure(int status, const std::string& object)
{
    switch (status) {
    case 401:
        return "o servidor exige um token de acesso válido (HTTP 401)";
    case 404:
        return "o servidor não tem o objeto " + object + " (HTTP 404)";
    case 413:
        return "o pedido é maior do que o servidor aceita (HTTP 413)";
    default:
        return "o servidor respondeu HTTP " + std::to_string(status);
    }
}

} // namespace

void ServerConnection::openNow()
{
    const std::string failure = "Falha na conexão com o " + where();
    if (serverName_.empty())
        fail("Falha na conexão com o servidor de aplicação: nenhum objeto foi indicado.");
    if (host_.empty())
        fail(failure + ": nenhum servidor foi indicado.");
    if (cancelled_)
        fail(failure + ": " + kCancelled + ".");
    auto http = std::make_unique<Http>();
    if (tls_) {
        auto client = std::make_unique<httplib::SSLClient>(host_, port_);
        SSL_CTX_set_min_proto_version(client->ssl_context(), TLS1_2_VERSION);
        client->enable_server_certificate_verification(true);
        if (!caFile_.empty())
            client->set_ca_cert_path(caFile_);
        http->tls = client.get();
        http->client = std::move(client);
    } else {
        http->client = std::make_unique<httplib::ClientImpl>(host_, port_);
    }
    httplib::ClientImpl& client = *http->client;
    client.set_connection_timeout(connectTimeout_);
    client.set_read_timeout(readTimeout_);
    client.set_write_timeout(readTimeout_);
    client.set_keep_alive(true);
    // Without it every call after the first on a kept-alive connection waits for
    // the peer's delayed acknowledgement.
    client.set_tcp_nodelay(true);
    if (!token_.empty())
        client.set_default_headers({{"Authorization", "Bearer " + token_}});
    // The failure texts below read the TLS client's verification result.
    {
        std::lock_guard lock(httpLock_);
        http_ = std::move(http);
    }

    const std::string path = std::string(wire::kPathPrefix) + serverName_;
    auto result = client.Get(path);
    std::string why;
    if (!result)
        why = transportFailure(static_cast<int>(result.error()));
    else if (result->status != 200)
        why = statusFailure(result->status, serverName_);
    std::vector<std::string> methods;
    std::string detail;
    if (why.empty()) {
        try {
            methods = readObjectDescription(result->body, serverName_);
        } catch (const ConnectionError& e) {
            why = e.what();
            detail = e.detail();
        }
    }
    if (!why.empty() && cancelled_)
        why = kCancelled;
    if (!why.empty()) {
        setConnected(false);
        fail(failure + ": " + why + ".", detail);
    }
    methods_ = std::move(methods);
    connected_ = true;
}

ServerConnection::Posted ServerConnection::post(std::string_view method,
                                                const std::vector<Variant>& params,
                                                const Receiver& receive)
{
    if (!connected_)
        setConnected(true);
    Posted posted{nextId_++, "Falha na chamada de " + std::string(method) + " ao " + where()};

    std::string body;
    try {
        body = jsonRpcRequest(posted.id, method, params);
    } catch (const Error& e) {
        fail(posted.failure + ": " + e.what() + ".");
    }

    httplib::Request request;
    request.method = "POST";
    request.path = std::string(wire::kPathPrefix) + serverName_;
    request.body = std::move(body);
    request.set_header("Content-Type", "application/json");
    request.set_header("Accept", "application/json");
    std::string refused; // why the receiver stopped taking the reply
    Pace pace(limits_);
    request.response_handler = [&](const httplib::Response& r) {
        pace.header();
        if (r.status != 200 || !r.has_header("Content-Length"))
            return true;
        const auto length =
            std::strtoull(r.get_header_value("Content-Length").c_str(), nullptr, 10);
        if (length > kMaxReplyBytes) {
            refused = "a resposta anunciada passa do limite de " +
                      std::to_string(kMaxReplyBytes >> 20) + " MiB";
            return false;
        }
        receive.expect(static_cast<size_t>(length));
        return true;
    };
    request.content_receiver = [&](const char* data, size_t size, uint64_t, uint64_t) {
        if (cancelled_) {
            refused = kCancelled;
            return false;
        }
        refused = pace.take(size);
        if (!refused.empty())
            return false;
        if (receive.take(data, size))
            return true;
        refused = receive.refused();
        return false;
    };
    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    if (cancelled_ || !http_->client->send(request, response, error)) {
        const std::string why = cancelled_        ? std::string(kCancelled)
                                : refused.empty() ? transportFailure(static_cast<int>(error))
                                                  : refused;
        // A broken connection is not kept for the next call.
        setConnected(false);
        fail(posted.failure + ": " + why + ".");
    }
    if (response.status != 200) {
        if (response.status == 401 || response.status == 404)
            setConnected(false);
        fail(posted.failure + ": " + statusFailure(response.status, serverName_) + ".");
    }
    return posted;
}

Variant ServerConnection::call(std::string_view method, const std::vector<Variant>& params)
{
    // The whole reply goes into one buffer, padded for the decoder; the packets in
    // it are handed on as slices of that buffer.
    auto buffer = std::make_shared<std::string>();
    const Receiver receive{
        [&buffer](size_t length) {
            // The header is the peer's word: room for at most 1 GiB up front, the
            // rest only as it arrives.
            buffer->reserve(std::min(length, size_t{1} << 30) + Packet::kPadding);
        },
        [&buffer](const char* data, size_t size) {
            if (size > kMaxReplyBytes - buffer->size())
                return false;
            if (buffer->capacity() < buffer->size() + size)
                buffer->reserve(std::max(buffer->capacity() * 2, buffer->size() + size + 4096));
            buffer->append(data, size);
            return true;
        },
        [] { return replyTooLarge(kMaxReplyBytes); }};
    const Posted posted = post(method, params, receive);
    const size_t length = buffer->size();
    buffer->append(Packet::kPadding, ' ');
    try {
        return readReply(std::move(buffer), length, posted.id, posted.failure);
    } catch (const ConnectionError& e) {
        fail(e.what(), e.detail());
    }
}

Variant ServerConnection::call(std::string_view method, const std::vector<Variant>& params,
                               const PacketSink& early, size_t count)
{
    ReplyStream stream(early, count, kMaxReplyBytes, ReplyStream::kMarkEvery,
                       ReplyStream::Handover::WhileArriving);
    const Receiver receive{
        [](size_t) {}, [&stream](const char* data, size_t size) { return stream.feed(data, size); },
        [&stream] { return stream.error(); }};
    const Posted posted = post(method, params, receive);
    try {
        return stream.finish(posted.id, posted.failure);
    } catch (const ConnectionError& e) {
        fail(e.what(), e.detail());
    }
}

} // namespace dotz
