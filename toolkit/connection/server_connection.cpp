#include "server_connection.h"

#include "reply_stream.h"

#include "export/reasons.h"

#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace dotz {

// ---- Variant ------------------------------------------------------------------------

const char* Variant::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Null:
        return "null";
    case Kind::Boolean:
        return "um valor lógico";
    case Kind::Number:
        return "um número";
    case Kind::Text:
        return "um texto";
    case Kind::Date:
        return "uma data";
    case Kind::Array:
        return "uma lista";
    case Kind::Packet:
        return "um objeto";
    }
    return "um valor";
}

namespace {

[[noreturn]] void wrongKind(Variant::Kind expected, Variant::Kind actual)
{
    throw Error(std::string("esperava-se ") + Variant::kindName(expected) + ", e veio " +
                Variant::kindName(actual));
}

} // namespace

bool Variant::asBoolean() const
{
    if (kind() != Kind::Boolean)
        wrongKind(Kind::Boolean, kind());
    return std::get<bool>(value_);
}

double Variant::asNumber() const
{
    if (kind() != Kind::Number)
        wrongKind(Kind::Number, kind());
    return std::get<double>(value_);
}

const std::string& Variant::asText() const
{
    if (kind() != Kind::Text)
        wrongKind(Kind::Text, kind());
    return std::get<std::string>(value_);
}

Day Variant::asDate() const
{
    if (kind() != Kind::Date)
        wrongKind(Kind::Date, kind());
    return std::get<Day>(value_);
}

const Variant::Array& Variant::asArray() const
{
    if (kind() != Kind::Array)
        wrongKind(Kind::Array, kind());
    return *std::get<std::shared_ptr<const Array>>(value_);
}

const Packet& Variant::asPacket() const
{
    if (kind() != Kind::Packet)
        wrongKind(Kind::Packet, kind());
    return std::get<PacketValue>(value_).packet;
}

// ---- JSON both ways -----------------------------------------------------------------

namespace {

using JsonWriter =
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

// Throws dotz::Error saying which parameter cannot be sent.
void writeValue(JsonWriter& w, const Variant& v, const std::string& where)
{
    using K = Variant::Kind;
    bool ok = true;
    switch (v.kind()) {
    case K::Null:
        ok = w.Null();
        break;
    case K::Boolean:
        ok = w.Bool(v.asBoolean());
        break;
    case K::Number:
        if (!std::isfinite(v.asNumber()))
            throw Error(where + " não é um número finito");
        ok = w.Double(v.asNumber());
        break;
    case K::Text: {
        const std::string& t = v.asText();
        if (!w.String(t.data(), static_cast<rapidjson::SizeType>(t.size())))
            throw Error(where + " não é texto UTF-8 válido");
        break;
    }
    case K::Date: {
        const std::string iso = v.asDate().iso();
        ok = w.String(iso.data(), static_cast<rapidjson::SizeType>(iso.size()));
        break;
    }
    case K::Array: {
        w.StartArray();
        size_t i = 0;
        for (const Variant& item : v.asArray())
            writeValue(w, item, where + ", item " + std::to_string(++i) + ",");
        ok = w.EndArray();
        break;
    }
    case K::Packet: {
        const std::string_view json = v.asPacket().json();
        ok = w.RawValue(json.data(), json.size(), rapidjson::kObjectType);
        break;
    }
    }
    if (!ok)
        throw Error(where + " não pode ser escrito em JSON");
}

namespace od = simdjson::ondemand;

bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

const char* skipSpace(const char* p)
{
    while (isSpace(*p))
        ++p;
    return p;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// Past the last token the location is out of bounds (this simdjson has no
// document::at_end); a second value after the first is trailing content.
void expectEnd(od::document& doc)
{
    if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS)
        throw simdjson::simdjson_error(simdjson::TRAILING_CONTENT);
}

using MakePacket = std::function<Variant(std::string_view json)>;
using Members = std::vector<std::pair<std::string, Variant>>; // as Variant keeps them

// A reply that breaks the contract; the caller adds which call it answered.
struct BadReply
{
    std::string what;
};

// Reads one value and tells where it ends in the buffer (the end of a container
// is found from its last item, so that nothing is read twice). Objects stay
// undecoded: they become packets cut from the reply's buffer (skipping one does
// not recurse). Arrays nest at most kMaxReplyDepth deep: the reply is untrusted,
// and each level is a frame of this function.
Variant readValue(od::value value, const MakePacket& makePacket, const char*& end, int depth)
{
    const od::json_type type = value.type();
    switch (type) {
    case od::json_type::object: {
        od::object object = value.get_object();
        const std::string_view raw = trimmed(object.raw_json());
        end = raw.data() + raw.size();
        return makePacket(raw);
    }
    case od::json_type::array: {
        if (depth >= kMaxReplyDepth)
            throw BadReply{"aninha mais de " + std::to_string(kMaxReplyDepth) + " níveis"};
        const char* open = trimmed(value.raw_json_token()).data();
        end = open + 1;
        Variant::Array items;
        for (auto item : value.get_array())
            items.push_back(readValue(item.value(), makePacket, end, depth + 1));
        end = skipSpace(end);
        if (*end != ']')
            throw simdjson::simdjson_error(simdjson::TAPE_ERROR);
        ++end;
        return Variant(std::move(items));
    }
    default:
        break;
    }
    const std::string_view token = trimmed(value.raw_json_token());
    end = token.data() + token.size();
    switch (type) {
    case od::json_type::string:
        return Variant(std::string(std::string_view(value.get_string())));
    case od::json_type::number:
        return Variant(double(value.get_double()));
    case od::json_type::boolean:
        return Variant(bool(value.get_bool()));
    default:
        if (!value.is_null())
            throw simdjson::simdjson_error(simdjson::N_ATOM_ERROR);
        return Variant();
    }
}

// Reads the members of an object, and its text as a packet: the result of a call.
Members readMembers(od::value value, const MakePacket& makePacket, std::string_view& raw)
{
    const char* start = trimmed(value.raw_json_token()).data();
    const char* end = start + 1;
    Members members;
    std::unordered_set<std::string> seen;
    for (auto field : value.get_object()) {
        std::string key(std::string_view(field.unescaped_key()));
        if (!seen.insert(key).second)
            throw BadReply{"o resultado traz \"" + key + "\" duas vezes"};
        members.emplace_back(std::move(key), readValue(field.value(), makePacket, end, 1));
    }
    end = skipSpace(end);
    if (*end != '}')
        throw simdjson::simdjson_error(simdjson::TAPE_ERROR);
    raw = std::string_view(start, static_cast<size_t>(end + 1 - start));
    return members;
}

// The reply (or a copy of a packet) with the padding that the decoder reads past
// the end: spaces, so the text stays valid JSON.
std::shared_ptr<std::string> padded(std::string_view json)
{
    auto buffer = std::make_shared<std::string>();
    buffer->reserve(json.size() + Packet::kPadding);
    buffer->append(json);
    buffer->append(Packet::kPadding, ' ');
    return buffer;
}

MakePacket packetsOf(const std::shared_ptr<const std::string>& buffer,
                     const std::vector<size_t>& handedOver = {})
{
    return [buffer, &handedOver](std::string_view json) {
        const auto at = static_cast<size_t>(json.data() - buffer->data());
        if (std::binary_search(handedOver.begin(), handedOver.end(), at))
            return Variant(Packet());
        return Variant(Packet::inBuffer(buffer, json));
    };
}

std::string invalid(const std::string& what)
{
    return "resposta inválida: " + what;
}

} // namespace

Variant readReply(std::shared_ptr<const std::string> reply, size_t length, long long id,
                  const std::string& failure, const std::vector<size_t>& handedOver)
{
    const auto fail = [&failure](const std::string& why, std::string detail = {}) -> Variant {
        throw ConnectionError(failure + ": " + why + ".", std::move(detail));
    };
    const MakePacket makePacket = packetsOf(reply, handedOver);
    Variant result;
    bool haveResult = false, haveVersion = false, sameId = false;
    std::string rpcError;
    try {
        od::parser parser;
        od::document doc =
            parser.iterate(simdjson::padded_string_view(reply->data(), length, reply->size()));
        std::unordered_set<std::string> seen;
        for (auto field : doc.get_object()) {
            const std::string key(std::string_view(field.unescaped_key()));
            if (!seen.insert(key).second)
                throw BadReply{"a resposta traz \"" + key + "\" duas vezes"};
            od::value value = field.value();
            if (key == "jsonrpc") {
                haveVersion = std::string_view(value.get_string()) == "2.0";
            } else if (key == "id") {
                sameId = value.type() == od::json_type::number && int64_t(value.get_int64()) == id;
            } else if (key == "result") {
                if (value.type() == od::json_type::object) {
                    auto read = std::make_shared<Variant::Result>();
                    std::string_view raw;
                    read->members = readMembers(value, makePacket, raw);
                    read->call = failure;
                    result.value_ =
                        Variant::PacketValue{Packet::inBuffer(reply, raw), std::move(read)};
                } else {
                    const char* end = nullptr;
                    result = readValue(value, makePacket, end, 0);
                }
                haveResult = true;
            } else if (key == "error") {
                long long code = 0;
                std::string message;
                for (auto member : value.get_object()) {
                    const std::string_view k = member.unescaped_key();
                    if (k == "code")
                        code = int64_t(member.value().get_int64());
                    else if (k == "message")
                        message = std::string_view(member.value().get_string());
                }
                rpcError = "o servidor recusou a chamada: erro JSON-RPC " + std::to_string(code) +
                           ": " + message;
            }
        }
        expectEnd(doc);
    } catch (const simdjson::simdjson_error& e) {
        return fail(invalid("não é JSON-RPC 2.0 (" + jsonReason(e.error()) + ")"), e.what());
    } catch (const BadReply& e) {
        return fail(invalid(e.what));
    }
    if (!rpcError.empty())
        return fail(rpcError);
    if (!haveVersion || !sameId || !haveResult)
        return fail(invalid(std::string("não é a resposta JSON-RPC 2.0 a esta chamada (") +
                            (!haveVersion ? "sem \"jsonrpc\":\"2.0\""
                             : !sameId    ? "outro id"
                                          : "sem result") +
                            ")"));
    return result;
}

// ---- ServerConnection ---------------------------------------------------------------

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

void ServerConnection::setErrorReporter(ErrorReporter reporter)
{
    reporter_ = std::move(reporter);
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
    if (!raiseErrors_ && reporter_) {
        reporter_(message);
        throw Abort();
    }
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

    const std::string path = "/rpc/" + serverName_;
    auto result = client.Get(path);
    std::string why;
    if (!result)
        why = transportFailure(static_cast<int>(result.error()));
    else if (result->status != 200)
        why = statusFailure(result->status, serverName_);
    // {"object":"<name>","methods":[...]}
    std::vector<std::string> methods;
    std::string detail;
    if (why.empty()) {
        bool named = false;
        try {
            simdjson::padded_string body(result->body);
            od::parser parser;
            od::document doc = parser.iterate(body);
            for (auto field : doc.get_object()) {
                const std::string_view key = field.unescaped_key();
                if (key == "object") {
                    named = std::string_view(field.value().get_string()) == serverName_;
                } else if (key == "methods") {
                    for (auto m : field.value().get_array())
                        methods.emplace_back(std::string_view(m.get_string()));
                }
            }
            expectEnd(doc);
            if (!named)
                why = "o servidor descreveu outro objeto";
        } catch (const simdjson::simdjson_error& e) {
            why =
                invalid("a descrição do objeto não é JSON válido (" + jsonReason(e.error()) + ")");
            detail = e.what();
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
        rapidjson::StringBuffer out;
        JsonWriter w(out);
        w.StartObject();
        w.Key("jsonrpc");
        w.String("2.0");
        w.Key("id");
        w.Int64(posted.id);
        w.Key("method");
        if (!w.String(method.data(), static_cast<rapidjson::SizeType>(method.size())))
            throw Error("o nome do método não é texto UTF-8 válido");
        w.Key("params");
        w.StartArray();
        for (size_t i = 0; i < params.size(); ++i)
            writeValue(w, params[i], "o parâmetro " + std::to_string(i + 1));
        w.EndArray();
        w.EndObject();
        body.assign(out.GetString(), out.GetSize());
    } catch (const Error& e) {
        fail(posted.failure + ": " + e.what() + ".");
    }

    httplib::Request request;
    request.method = "POST";
    request.path = "/rpc/" + serverName_;
    request.body = std::move(body);
    request.set_header("Content-Type", "application/json");
    request.set_header("Accept", "application/json");
    std::string refused; // why the receiver stopped taking the reply
    request.response_handler = [&](const httplib::Response& r) {
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
    ReplyStream stream(early, count);
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

// ---- CheckServerResult --------------------------------------------------------------

Variant CheckServerResult(const Variant& result, bool abort, int /*n*/,
                          const ServerConnection::ErrorReporter& showError)
{
    const std::string from = result.kind() == Variant::Kind::Packet &&
                                     std::get<Variant::PacketValue>(result.value_).result
                                 ? std::get<Variant::PacketValue>(result.value_).result->call
                                 : std::string("Falha na chamada ao servidor de aplicação");
    const auto bad = [&from](const std::string& what, std::string detail = {}) -> Variant {
        throw ConnectionError(from + ": " + invalid(what) + ".", std::move(detail));
    };
    if (result.kind() != Variant::Kind::Packet)
        return bad(std::string("o resultado não é um envelope de resultado, e sim ") +
                   Variant::kindName(result.kind()));
    const auto& pv = std::get<Variant::PacketValue>(result.value_);
    std::shared_ptr<const Variant::Result> read = pv.result;
    if (!read) {
        // A packet made elsewhere: read it here, from a padded copy.
        std::string_view json = pv.packet.json();
        std::shared_ptr<const std::string> buffer = padded(json);
        json = std::string_view(buffer->data(), json.size());
        try {
            od::parser parser;
            od::document doc = parser.iterate(
                simdjson::padded_string_view(json.data(), json.size(), buffer->size()));
            od::value root = doc.get_value();
            if (root.type() != od::json_type::object)
                return bad("o resultado não é um objeto");
            auto members = std::make_shared<Variant::Result>();
            std::string_view raw;
            members->members = readMembers(root, packetsOf(buffer), raw);
            expectEnd(doc);
            read = std::move(members);
        } catch (const simdjson::simdjson_error& e) {
            return bad("o envelope de resultado não pode ser lido (" + jsonReason(e.error()) + ")",
                       e.what());
        } catch (const BadReply& e) {
            return bad(e.what);
        }
    }

    const Variant* ok = nullptr;
    const Variant* message = nullptr;
    const Variant* data = nullptr;
    for (const auto& [key, value] : read->members) {
        if (key == "ok")
            ok = &value;
        else if (key == "message")
            message = &value;
        else if (key == "data")
            data = &value;
    }
    if (!ok)
        return bad("o envelope de resultado não traz \"ok\"");
    if (ok->kind() != Variant::Kind::Boolean)
        return bad(std::string("no envelope de resultado, \"ok\" é ") +
                   Variant::kindName(ok->kind()) + ", e não um valor lógico");
    if (!ok->asBoolean()) {
        const std::string text = message && message->kind() == Variant::Kind::Text
                                     ? message->asText()
                                     : from + ": o servidor informou uma falha sem mensagem.";
        if (!showError)
            throw Error(text);
        showError(text);
        if (abort)
            throw Abort();
        return Variant();
    }
    if (!data)
        return bad("o envelope de resultado traz \"ok\":true mas não traz \"data\"");
    return *data;
}

DayPackets dayPackets(const Variant& payload, Day day)
{
    const std::string failure =
        "Falha na chamada de GetPrincipal do dia " + day.regional() + ": " + invalid("");
    if (payload.kind() != Variant::Kind::Array)
        throw ConnectionError(failure + "\"data\" é " + Variant::kindName(payload.kind()) +
                              ", e não uma lista de 4 pacotes.");
    const Variant::Array& slots = payload.asArray();
    if (slots.size() != 4)
        throw ConnectionError(failure + "\"data\" traz " + std::to_string(slots.size()) +
                              " valores em vez de 4 pacotes.");
    DayPackets packets;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].kind() != Variant::Kind::Packet)
            throw ConnectionError(failure + "o pacote " + std::to_string(i + 1) + " é " +
                                  Variant::kindName(slots[i].kind()) + ", e não um objeto.");
        packets[i] = slots[i].asPacket();
    }
    return packets;
}

} // namespace dotz
