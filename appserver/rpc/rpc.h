#pragma once
// JSON-RPC 2.0 as the server objects speak it: the request, its one typed
// error, the envelope of a result, the bodies every reply is made of, and a
// server object's table of methods.
#include "appserver/network/exchange.h"
#include "appserver/operations/metrics.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

// JSON-RPC 2.0 error codes.
enum RpcCode {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
};

// The one typed error of request handling; RpcObject turns it into the
// protocol's error object.
struct RpcError
{
    int code;
    std::string message;
};

struct RpcRequest
{
    std::string id = "null"; // raw JSON of the id, echoed verbatim
    bool notification = true;
    std::string method;
    std::vector<std::optional<std::string>> params; // strings; nullopt for other kinds
    std::vector<std::string> paramKinds;
};

// A request is a few hundred bytes: it is parsed whole and strictly. Fills
// `request` as far as it gets, so that an error can still echo the id; throws
// RpcError.
void parseRequest(const std::string& body, RpcRequest& request);

// Each named string parameter present, and nothing more; throws RpcError.
void requireStrings(const RpcRequest& r, std::initializer_list<const char*> names);

std::string jsonString(std::string_view s);
// A result's envelope, {"jsonrpc":"2.0","id":ID,"result":RESULT}: a result
// written in pieces goes between resultHead(id) and kResultEnd.
std::string resultHead(const std::string& id);
inline constexpr std::string_view kResultEnd = "}";
std::string resultBody(const std::string& id, std::string_view result);
std::string rpcErrorBody(const std::string& id, const RpcError& e);
// {"ok":true,"data": : a result's data goes on from here, then "}".
std::string dataEnvelopeHead();
// {"ok":false,"message":...}: the module's checker shows the text to the operator.
// With `retry`, "retry":true says that a later try, or another server of the
// store, may pass; a client that does not know the member ignores it.
std::string failureEnvelope(const std::string& message, bool retry = false);
// The body of an HTTP error that is not a call's.
std::string errorBody(const std::string& why);

// A server object as JSON-RPC shows it: GET describes it, POST calls one of its
// methods. A method replies through the exchange, at once or later, or throws
// RpcError, which is answered here.
class RpcObject
{
  public:
    using Method = std::function<void(const std::shared_ptr<Exchange>&, const RpcRequest&)>;
    RpcObject(std::string name, std::map<std::string, Method, std::less<>> methods,
              ServerMetrics& metrics);

    void describe(Exchange& c) const;
    void call(const std::shared_ptr<Exchange>& c, const std::string& body) const;

  private:
    std::string name_;
    std::map<std::string, Method, std::less<>> methods_;
    ServerMetrics& metrics_;
};

} // namespace dotz::appserver
