#include "rpc.h"

#include "json_out.h"

#include "appserver/principal/selector.h"

#include "base/wire_contract.h"

#include <simdjson.h>

#include <set>

namespace dotz::appserver {
namespace {

const char* kindName(simdjson::dom::element_type type)
{
    using T = simdjson::dom::element_type;
    switch (type) {
    case T::ARRAY:
        return "array";
    case T::OBJECT:
        return "object";
    case T::INT64:
    case T::UINT64:
    case T::DOUBLE:
        return "number";
    case T::STRING:
        return "string";
    case T::BOOL:
        return "boolean";
    case T::NULL_VALUE:
        return "null";
    }
    return "value";
}

} // namespace

// The replies' own string writer, so that every JSON text leaves one way.
std::string jsonString(std::string_view s)
{
    std::string json;
    JsonOut out([&](std::string_view piece) { json.append(piece); });
    out.string(s);
    out.finish();
    return json;
}

// Strictly: a reply is never parsed whole (see the client), a request always.
void parseRequest(const std::string& body, RpcRequest& request)
{
    using namespace simdjson;
    using T = dom::element_type;
    dom::parser parser;
    dom::element doc;
    if (auto error = parser.parse(body).get(doc))
        throw RpcError{kParseError, std::string("Parse error: ") + error_message(error)};
    if (doc.type() == T::ARRAY)
        throw RpcError{kInvalidRequest, "Invalid Request: batch requests are not supported"};
    if (doc.type() != T::OBJECT)
        throw RpcError{kInvalidRequest, std::string("Invalid Request: the body is a JSON ") +
                                            kindName(doc.type()) + ", not a request object"};
    dom::object object;
    if (doc.get_object().get(object) != SUCCESS)
        throw RpcError{kInvalidRequest, "Invalid Request: not an object"};
    // The parser keeps every member and a lookup finds the first: a second "id"
    // or "params" could mean something else to a proxy or a log reader.
    std::set<std::string_view> keys;
    for (dom::key_value_pair member : object)
        if (!keys.insert(member.key).second)
            throw RpcError{kInvalidRequest, "Invalid Request: member " + jsonString(member.key) +
                                                " appears more than once"};
    dom::element id;
    if (object["id"].get(id) == SUCCESS) {
        if (id.type() != T::STRING && id.type() != T::NULL_VALUE && id.type() != T::INT64 &&
            id.type() != T::UINT64 && id.type() != T::DOUBLE)
            throw RpcError{kInvalidRequest,
                           "Invalid Request: \"id\" must be a string, a number or null"};
        request.id = simdjson::minify(id);
        request.notification = false;
    }
    std::string_view version;
    if (object["jsonrpc"].get(version) != SUCCESS || version != "2.0")
        throw RpcError{kInvalidRequest, "Invalid Request: \"jsonrpc\" must be \"2.0\""};
    std::string_view method;
    if (object["method"].get(method) != SUCCESS)
        throw RpcError{kInvalidRequest, "Invalid Request: \"method\" must be a string"};
    request.method = std::string(method);
    dom::element params;
    if (object["params"].get(params) == SUCCESS) {
        if (params.type() != T::ARRAY)
            throw RpcError{kInvalidParams,
                           "Invalid params: \"params\" must be an array of positional arguments"};
        dom::array items;
        if (params.get_array().get(items) != SUCCESS)
            throw RpcError{kInvalidParams, "Invalid params: not an array"};
        for (dom::element item : items) {
            request.paramKinds.push_back(kindName(item.type()));
            if (item.type() == T::STRING)
                request.params.emplace_back(std::string(item.get_string().value_unsafe()));
            else
                request.params.emplace_back(std::nullopt);
        }
    }
}

std::string resultHead(const std::string& id)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":";
}

std::string resultBody(const std::string& id, std::string_view result)
{
    std::string body = resultHead(id);
    body += result;
    body += kResultEnd;
    return body;
}

std::string rpcErrorBody(const std::string& id, const RpcError& e)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + std::to_string(e.code) +
           ",\"message\":" + jsonString(e.message) + "}}";
}

std::string dataEnvelopeHead()
{
    return "{" + jsonString(wire::envelope::kOk) + ":true," + jsonString(wire::envelope::kData) +
           ":";
}

std::string failureEnvelope(const std::string& message, bool retry)
{
    std::string envelope = "{" + jsonString(wire::envelope::kOk) + ":false," +
                           jsonString(wire::envelope::kMessage) + ":" + jsonString(message);
    if (retry)
        envelope += "," + jsonString(wire::envelope::kRetry) + ":true";
    return envelope + "}";
}

std::string errorBody(const std::string& why)
{
    return "{\"error\":" + jsonString(why) + "}";
}

void requireStrings(const RpcRequest& r, std::initializer_list<const char*> names)
{
    if (r.params.size() != names.size())
        throw RpcError{kInvalidParams, "Invalid params: " + r.method + " takes " +
                                           std::to_string(names.size()) + " parameters, got " +
                                           std::to_string(r.params.size())};
    size_t i = 0;
    for (const char* n : names) {
        if (!r.params[i])
            throw RpcError{kInvalidParams, "Invalid params: parameter " + std::to_string(i + 1) +
                                               " (" + n + ") must be a string, got " +
                                               r.paramKinds[i]};
        ++i;
    }
}

RpcObject::RpcObject(std::string name, std::map<std::string, Method, std::less<>> methods,
                     ServerMetrics& metrics)
    : name_(std::move(name)), methods_(std::move(methods)), metrics_(metrics)
{
}

void RpcObject::describe(Exchange& c) const
{
    std::string body = "{\"object\":" + jsonString(name_) + ",\"methods\":[";
    bool first = true;
    for (const auto& entry : methods_) {
        body += (first ? "" : ",") + jsonString(entry.first);
        first = false;
    }
    c.reply(200, body + "]}");
}

void RpcObject::call(const std::shared_ptr<Exchange>& c, const std::string& body) const
{
    RpcRequest request;
    c->note.call = "unknown";
    metrics_.callStarted();
    try {
        parseRequest(body, request);
        if (request.notification) {
            // A notification gets no reply, and no method here is worth
            // calling without one.
            c->note.detail = "notification " + quoteForMessage(request.method) + " ignored";
            return c->reply(204, {});
        }
        const auto method = methods_.find(request.method);
        if (method == methods_.end())
            throw RpcError{kMethodNotFound,
                           "Method not found: " + request.method + " on object " + name_};
        c->note.call = method->first;
        method->second(c, request);
    } catch (const RpcError& e) {
        c->note.outcome = ServerMetrics::Outcome::RpcError;
        c->note.detail = request.method.empty() ? "rpc error " + std::to_string(e.code)
                                                : quoteForMessage(request.method) + " rpc error " +
                                                      std::to_string(e.code);
        c->reply(200, rpcErrorBody(request.id, e));
    }
}

} // namespace dotz::appserver
