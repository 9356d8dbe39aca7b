#include "server_connection.h"

#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <cmath>

namespace dotz {

// ---- Variant ------------------------------------------------------------------------

const char* Variant::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Null:
        return "null";
    case Kind::Boolean:
        return "boolean";
    case Kind::Number:
        return "number";
    case Kind::Text:
        return "text";
    case Kind::Date:
        return "date";
    case Kind::Array:
        return "array";
    case Kind::Packet:
        return "packet";
    }
    return "value";
}

namespace {

[[noreturn]] void wrongKind(Variant::Kind expected, Variant::Kind actual)
{
    throw Error(std::string("expected a ") + Variant::kindName(expected) + " value, got " +
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
            throw Error(where + " is not a finite number");
        ok = w.Double(v.asNumber());
        break;
    case K::Text: {
        const std::string& t = v.asText();
        if (!w.String(t.data(), static_cast<rapidjson::SizeType>(t.size())))
            throw Error(where + " is not valid UTF-8 text");
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
            writeValue(w, item, where + " item " + std::to_string(++i));
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
        throw Error(where + " cannot be written as JSON");
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

using MakePacket = std::function<Variant(std::string_view json)>;
using Members = std::vector<std::pair<std::string, Variant>>; // as Variant keeps them

// Reads one value and tells where it ends in the buffer (the end of a container
// is found from its last item, so that nothing is read twice). Objects stay
// undecoded: they become packets cut from the reply's buffer.
Variant readValue(od::value value, const MakePacket& makePacket, const char*& end)
{
    switch (value.type()) {
    case od::json_type::object: {
        od::object object = value.get_object();
        const std::string_view raw = trimmed(object.raw_json());
        end = raw.data() + raw.size();
        return makePacket(raw);
    }
    case od::json_type::array: {
        const char* open = trimmed(value.raw_json_token()).data();
        end = open + 1;
        Variant::Array items;
        for (auto item : value.get_array())
            items.push_back(readValue(item.value(), makePacket, end));
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
    switch (value.type()) {
    case od::json_type::string:
        return Variant(std::string(std::string_view(value.get_string())));
    case od::json_type::number:
        return Variant(double(value.get_double()));
    case od::json_type::boolean:
        return Variant(bool(value.get_bool()));
    default:
        return Variant();
    }
}

// Reads the members of an object, and its text as a packet: the result of a call.
Members readMembers(od::value value, const MakePacket& makePacket, std::string_view& raw)
{
    const char* start = trimmed(value.raw_json_token()).data();
    const char* end = start + 1;
    Members members;
    for (auto field : value.get_object()) {
        std::string key(std::string_view(field.unescaped_key()));
        members.emplace_back(std::move(key), readValue(field.value(), makePacket, end));
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

} // namespace

// ---- ServerConnection ---------------------------------------------------------------

struct ServerConnection::Http
{
    httplib::Client client;
    Http(const std::string& host, int port) : client(host, port) {}
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
        throw Error("application server port " + std::to_string(port) +
                    " is not between 1 and 65535");
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

std::string ServerConnection::where() const
{
    return "server object " + serverName_ + " on " + host_ + ":" + std::to_string(port_);
}

void ServerConnection::fail(const std::string& message) const
{
    if (!raiseErrors_ && reporter_) {
        reporter_(message);
        throw Abort();
    }
    throw ConnectionError(message);
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

namespace {

std::string transportFailure(httplib::Error error, std::chrono::milliseconds readTimeout)
{
    switch (error) {
    case httplib::Error::Connection:
        return "cannot connect (refused, or host unreachable)";
    case httplib::Error::ConnectionTimeout:
        return "no answer to the connection attempt in time";
    case httplib::Error::Read:
        return "the connection broke, or no data came within the read timeout of " +
               std::to_string(readTimeout.count()) + " ms";
    case httplib::Error::Write:
        return "the connection broke while sending the request";
    case httplib::Error::Canceled:
        return "the reply was refused while it arrived";
    default:
        return "transport failure (" + httplib::to_string(error) + ")";
    }
}

std::string statusFailure(int status, const std::string& object)
{
    switch (status) {
    case 401:
        return "the server wants a valid bearer token (HTTP 401)";
    case 404:
        return "the server has no object " + object + " (HTTP 404)";
    case 413:
        return "the request is larger than the server takes (HTTP 413)";
    default:
        return "the server answered HTTP " + std::to_string(status);
    }
}

} // namespace

void ServerConnection::openNow()
{
    if (serverName_.empty())
        fail("cannot open the connection: no server object name is set");
    if (host_.empty())
        fail("cannot open the connection to " + where() + ": no host is set");
    auto http = std::make_unique<Http>(host_, port_);
    http->client.set_connection_timeout(connectTimeout_);
    http->client.set_read_timeout(readTimeout_);
    http->client.set_write_timeout(readTimeout_);
    http->client.set_keep_alive(true);
    // Without it every call after the first on a kept-alive connection waits for
    // the peer's delayed acknowledgement.
    http->client.set_tcp_nodelay(true);
    if (!token_.empty())
        http->client.set_default_headers({{"Authorization", "Bearer " + token_}});

    const std::string path = "/rpc/" + serverName_;
    auto result = http->client.Get(path);
    if (!result)
        fail("cannot open the connection to " + where() + ": " +
             transportFailure(result.error(), readTimeout_));
    if (result->status != 200)
        fail("cannot open the connection to " + where() + ": " +
             statusFailure(result->status, serverName_));

    // {"object":"<name>","methods":[...]}
    std::vector<std::string> methods;
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
    } catch (const simdjson::simdjson_error& e) {
        fail("cannot open the connection to " + where() +
             ": the server's description of the object is not valid (" + e.what() + ")");
    }
    if (!named)
        fail("cannot open the connection to " + where() + ": the server described another object");
    http_ = std::move(http);
    methods_ = std::move(methods);
    connected_ = true;
}

Variant ServerConnection::call(std::string_view method, const std::vector<Variant>& params)
{
    if (!connected_)
        setConnected(true);
    const std::string what = "call of " + std::string(method) + " on " + where();
    const long long id = nextId_++;

    std::string body;
    try {
        rapidjson::StringBuffer out;
        JsonWriter w(out);
        w.StartObject();
        w.Key("jsonrpc");
        w.String("2.0");
        w.Key("id");
        w.Int64(id);
        w.Key("method");
        if (!w.String(method.data(), static_cast<rapidjson::SizeType>(method.size())))
            throw Error("the method name is not valid UTF-8");
        w.Key("params");
        w.StartArray();
        for (size_t i = 0; i < params.size(); ++i)
            writeValue(w, params[i], "parameter " + std::to_string(i + 1));
        w.EndArray();
        w.EndObject();
        body.assign(out.GetString(), out.GetSize());
    } catch (const Error& e) {
        fail(what + ": " + e.what());
    }

    // The whole reply goes into one buffer, padded for the decoder; the packets in
    // it are handed on as slices of that buffer.
    auto buffer = std::make_shared<std::string>();
    httplib::Request request;
    request.method = "POST";
    request.path = "/rpc/" + serverName_;
    request.body = std::move(body);
    request.set_header("Content-Type", "application/json");
    request.set_header("Accept", "application/json");
    request.response_handler = [&](const httplib::Response& r) {
        if (r.has_header("Content-Length")) {
            const auto length =
                std::strtoull(r.get_header_value("Content-Length").c_str(), nullptr, 10);
            if (length < (1ULL << 34))
                buffer->reserve(length + Packet::kPadding);
        }
        return true;
    };
    request.content_receiver = [&](const char* data, size_t size, uint64_t, uint64_t) {
        if (buffer->capacity() < buffer->size() + size)
            buffer->reserve(std::max(buffer->capacity() * 2, buffer->size() + size + 4096));
        buffer->append(data, size);
        return true;
    };
    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    if (!http_->client.send(request, response, error)) {
        // A broken connection is not kept for the next call.
        setConnected(false);
        fail(what + ": " + transportFailure(error, readTimeout_));
    }
    if (response.status != 200) {
        if (response.status == 401 || response.status == 404)
            setConnected(false);
        fail(what + ": " + statusFailure(response.status, serverName_));
    }

    const size_t length = buffer->size();
    buffer->append(Packet::kPadding, ' ');
    std::shared_ptr<const std::string> reply = std::move(buffer);
    const MakePacket makePacket = [&reply](std::string_view json) {
        Variant v;
        v.value_ = Variant::PacketValue{Packet::inBuffer(reply, json), reply, nullptr};
        return v;
    };

    Variant result;
    bool haveResult = false, haveVersion = false, sameId = false;
    std::string rpcError;
    try {
        od::parser parser;
        od::document doc =
            parser.iterate(simdjson::padded_string_view(reply->data(), length, reply->size()));
        for (auto field : doc.get_object()) {
            const std::string_view key = field.unescaped_key();
            od::value value = field.value();
            if (key == "jsonrpc") {
                haveVersion = std::string_view(value.get_string()) == "2.0";
            } else if (key == "id") {
                sameId = value.type() == od::json_type::number && int64_t(value.get_int64()) == id;
            } else if (key == "result") {
                if (value.type() == od::json_type::object) {
                    std::string_view raw;
                    auto members =
                        std::make_shared<const Members>(readMembers(value, makePacket, raw));
                    result.value_ = Variant::PacketValue{Packet::inBuffer(reply, raw), reply,
                                                         std::move(members)};
                } else {
                    const char* end = nullptr;
                    result = readValue(value, makePacket, end);
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
                rpcError = "JSON-RPC error " + std::to_string(code) + ": " + message;
            }
        }
    } catch (const simdjson::simdjson_error& e) {
        fail(what + ": the reply is not a JSON-RPC 2.0 response (" + e.what() + ")");
    }
    if (!rpcError.empty())
        fail(what + ": " + rpcError);
    if (!haveVersion || !sameId || !haveResult)
        fail(what + ": the reply is not a JSON-RPC 2.0 response to this call (" +
             (!haveVersion ? "no \"jsonrpc\":\"2.0\""
              : !sameId    ? "another id"
                           : "no result") +
             ")");
    return result;
}

// ---- CheckServerResult --------------------------------------------------------------

Variant CheckServerResult(const Variant& result, bool abort, int /*n*/,
                          const ServerConnection::ErrorReporter& showError)
{
    if (result.kind() != Variant::Kind::Packet)
        throw Error(std::string("the server's result is not a result envelope: it is a ") +
                    Variant::kindName(result.kind()));
    const auto& pv = std::get<Variant::PacketValue>(result.value_);
    std::shared_ptr<const Members> members = pv.members;
    if (!members) {
        // A packet made elsewhere: read it here, from a padded copy.
        std::string_view json = pv.packet.json();
        std::shared_ptr<const std::string> buffer = padded(json);
        json = std::string_view(buffer->data(), json.size());
        const MakePacket makePacket = [&buffer](std::string_view raw) {
            Variant v;
            v.value_ = Variant::PacketValue{Packet::inBuffer(buffer, raw), buffer, nullptr};
            return v;
        };
        try {
            od::parser parser;
            od::document doc = parser.iterate(
                simdjson::padded_string_view(json.data(), json.size(), buffer->size()));
            od::value root = doc.get_value();
            if (root.type() != od::json_type::object)
                throw Error("the server's result is not a result envelope: it is no object");
            std::string_view raw;
            members = std::make_shared<const Members>(readMembers(root, makePacket, raw));
        } catch (const simdjson::simdjson_error& e) {
            throw Error(std::string("the server's result envelope cannot be read: ") + e.what());
        }
    }

    const Variant* ok = nullptr;
    const Variant* message = nullptr;
    const Variant* data = nullptr;
    for (const auto& [key, value] : *members) {
        if (key == "ok")
            ok = &value;
        else if (key == "message")
            message = &value;
        else if (key == "data")
            data = &value;
    }
    if (!ok)
        throw Error("the server's result envelope has no \"ok\" flag");
    if (ok->kind() != Variant::Kind::Boolean)
        throw Error(std::string("the server's result envelope cannot be read: \"ok\" is a ") +
                    Variant::kindName(ok->kind()) + ", not a boolean");
    if (!ok->asBoolean()) {
        const std::string text =
            message && message->kind() == Variant::Kind::Text
                ? message->asText()
                : std::string("the server reported a failure without a message");
        if (!showError)
            throw Error(text);
        showError(text);
        if (abort)
            throw Abort();
        return Variant();
    }
    if (!data)
        throw Error("the server's result envelope has \"ok\":true but no \"data\"");
    return *data;
}

DayPackets dayPackets(const Variant& payload, Day day)
{
    const Variant::Array& slots = payload.asArray();
    if (slots.size() != 4)
        throw Error("GetPrincipal of " + day.regional() + " gave " + std::to_string(slots.size()) +
                    " packets instead of 4");
    return DayPackets{slots[0].asPacket(), slots[1].asPacket(), slots[2].asPacket(),
                      slots[3].asPacket()};
}

} // namespace dotz
