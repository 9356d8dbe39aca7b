#include "rpc_reply.h"

#include "server_text.h"
#include "transport_text.h"

#include "base/reasons.h"

#include <simdjson.h>

#include <algorithm>
#include <unordered_set>

namespace dotz {
namespace {

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

} // namespace

std::string replyLimitText(std::uint64_t maxBytes)
{
    if (maxBytes % (std::uint64_t{1} << 30) == 0 && maxBytes > 0)
        return std::to_string(maxBytes >> 30) + " GiB";
    if (maxBytes % (std::uint64_t{1} << 20) == 0 && maxBytes > 0)
        return std::to_string(maxBytes >> 20) + " MiB";
    return std::to_string(maxBytes) + " bytes";
}

std::string replyTooLarge(std::uint64_t maxBytes)
{
    return "a resposta passa do limite de " + replyLimitText(maxBytes);
}

std::string invalidReply(const std::string& what)
{
    return "resposta inválida: " + what;
}

Variant readReply(std::shared_ptr<const std::string> reply, size_t length, long long id,
                  const std::string& failure, const std::vector<size_t>& handedOver,
                  std::string_view method)
{
    const auto fail = [&failure](const std::string& why, std::string detail = {}) -> Variant {
        throw ConnectionError(failure + ": " + why + ".", std::move(detail));
    };
    const MakePacket makePacket = packetsOf(reply, handedOver);
    Variant result;
    bool haveResult = false, haveVersion = false, sameId = false;
    std::string rpcError, rpcDetail;
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
                    result = Variant(Packet::inBuffer(reply, raw), std::move(read));
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
                rpcError = transport::rpcFailure(code, method);
                // The server's own words, in its language: for --verbose.
                rpcDetail = "erro JSON-RPC " + std::to_string(code) +
                            (message.empty() ? "" : ": " + server_text::shown(message));
            }
        }
        expectEnd(doc);
    } catch (const simdjson::simdjson_error& e) {
        return fail(invalidReply("não é JSON-RPC 2.0 (" + jsonReason(e.error()) + ")"), e.what());
    } catch (const BadReply& e) {
        return fail(invalidReply(e.what));
    }
    if (!rpcError.empty())
        return fail(rpcError, rpcDetail);
    if (!haveVersion || !sameId || !haveResult)
        return fail(invalidReply(std::string("não é a resposta JSON-RPC 2.0 a esta chamada (") +
                                 (!haveVersion ? "sem \"jsonrpc\":\"2.0\""
                                  : !sameId    ? "outro id"
                                               : "sem result") +
                                 ")"));
    return result;
}

Variant readResultObject(const Packet& packet, const std::string& failure)
{
    const auto bad = [&failure](const std::string& what, std::string detail = {}) -> Variant {
        throw ConnectionError(failure + ": " + invalidReply(what) + ".", std::move(detail));
    };
    // Read from a padded copy: the decoder reads past the end.
    std::string_view json = packet.json();
    std::shared_ptr<const std::string> buffer = padded(json);
    json = std::string_view(buffer->data(), json.size());
    try {
        od::parser parser;
        od::document doc =
            parser.iterate(simdjson::padded_string_view(json.data(), json.size(), buffer->size()));
        od::value root = doc.get_value();
        if (root.type() != od::json_type::object)
            return bad("o resultado não é um objeto");
        auto read = std::make_shared<Variant::Result>();
        std::string_view raw;
        read->members = readMembers(root, packetsOf(buffer), raw);
        read->call = failure;
        expectEnd(doc);
        return Variant(packet, std::move(read));
    } catch (const simdjson::simdjson_error& e) {
        return bad("o envelope de resultado não pode ser lido (" + jsonReason(e.error()) + ")",
                   e.what());
    } catch (const BadReply& e) {
        return bad(e.what);
    }
}

std::vector<std::string> readObjectDescription(const std::string& body, const std::string& object)
{
    std::vector<std::string> methods;
    bool named = false;
    try {
        simdjson::padded_string padded(body);
        od::parser parser;
        od::document doc = parser.iterate(padded);
        for (auto field : doc.get_object()) {
            const std::string_view key = field.unescaped_key();
            if (key == "object") {
                named = std::string_view(field.value().get_string()) == object;
            } else if (key == "methods") {
                for (auto m : field.value().get_array())
                    methods.emplace_back(std::string_view(m.get_string()));
            }
        }
        expectEnd(doc);
    } catch (const simdjson::simdjson_error& e) {
        throw ConnectionError(
            invalidReply("a descrição do objeto não é JSON válido (" + jsonReason(e.error()) + ")"),
            e.what());
    }
    if (!named)
        throw ConnectionError("o servidor descreveu outro objeto");
    return methods;
}

} // namespace dotz
