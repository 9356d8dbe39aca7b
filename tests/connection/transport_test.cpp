// The transport's limits and refusals, against bare peers that misbehave.
#include "connection/principal_reply.h"
#include "connection/server_connection.h"
#include "drip_server.h"

#include <gtest/gtest.h>

#include <thread>

using namespace dotz;
using namespace dotz::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kObject = "Krt52410.rdmExportaDotz";
using Clock = std::chrono::steady_clock;

// What a day's fetch on a fresh connection to `port` fails with, and its detail
// in brackets, as --verbose shows it.
std::string failureOf(int port, const ServerConnection::CallLimits& limits)
{
    ServerConnection c;
    c.setServerName(kObject);
    c.setPort(port);
    c.setCallLimits(limits);
    try {
        fetchPrincipal(c, "T", *Day::fromYmd(2024, 3, 15), [](size_t, Packet) {});
    } catch (const Error& e) {
        return e.what() + (e.detail().empty() ? "" : " [" + e.detail() + "]");
    }
    return "no failure";
}

DripServer::Answer whole(std::string bytes)
{
    return {std::move(bytes)};
}

// Status line and headers that come one byte every 5 s, on the opening GET or on
// the POST, end within the call's time or the rate rule's window.
TEST(TransportLimits, DrippedHeadersEndTheCall)
{
    const std::string reply = DripServer::reply(200, "{}");
    const DripServer::Answer dripped{reply, 3, 5s};
    ServerConnection::CallLimits timeout;
    timeout.minRate = 0;
    timeout.callTimeout = 1s;
    ServerConnection::CallLimits rate;
    rate.minRate = 1024;
    rate.window = 1s;
    const struct
    {
        bool onGet;
        ServerConnection::CallLimits limits;
        std::string says;
    } cases[] = {
        {true, timeout, "Falha na conexão com o servidor de aplicação 127.0.0.1:"},
        {false, timeout, "Falha na chamada de GetPrincipal ao servidor de aplicação 127.0.0.1:"},
        {true, timeout, ": a chamada passou do tempo máximo de 1 s (call_timeout)."},
        {false, timeout, ": a chamada passou do tempo máximo de 1 s (call_timeout)."},
        {true, rate, ": a resposta chegou devagar demais (menos de 1 KiB/s por 1 s)."},
        {false, rate, ": a resposta chegou devagar demais (menos de 1 KiB/s por 1 s)."},
    };
    for (const auto& c : cases) {
        DripServer peer(c.onGet ? dripped : whole(DripServer::description()),
                        c.onGet ? whole(reply) : dripped);
        const auto start = Clock::now();
        const std::string message = failureOf(peer.port(), c.limits);
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_LT(Clock::now() - start, 20s) << message;
    }
}

// The server's words are shown cut to a few KiB, and never start a line of
// their own, whatever their length and however the reply carries them.
TEST(TransportRefusals, ShowTheServersWordsAndWhenToTryAgain)
{
    const std::string busy = "Servidor de aplicação sobrecarregado. Tente novamente em instantes.";
    const auto raw = [](int status, const std::string& headers, const std::string& body) {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + headers +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string json = "Content-Type: application/json\r\n";
    const auto refused = [](const std::string& message) {
        return DripServer::reply(
            200, R"({"jsonrpc":"2.0","id":1,"result":{"ok":false,"message":")" + message + "\"}}");
    };
    const auto rpcError = [](int code, const std::string& message) {
        return DripServer::reply(200, R"({"jsonrpc":"2.0","id":1,"error":{"code":)" +
                                          std::to_string(code) + R"(,"message":")" + message +
                                          "\"}}");
    };
    const std::string flood(3 << 20, 'A');
    const auto cut = [](size_t n) {
        return " (texto do servidor cortado em " + std::to_string(n) + " bytes)";
    };
    std::string escaped = "a", shown = "a";
    for (int i = 0; i < 3000; ++i)
        escaped += "\\u00e7\\u00E7";
    for (int i = 0; i < 2047; ++i)
        shown += "ç";
    const struct
    {
        std::string answer;
        std::string says;
    } cases[] = {
        {raw(429, json + "Retry-After: 5\r\n", R"({"ok":false,"message":"Há pedidos demais."})"),
         "o servidor respondeu HTTP 429: Há pedidos demais. (tente de novo em 5 s)."},
        {raw(503, json + "Retry-After: 7\r\n",
             R"({"jsonrpc":"2.0","id":1,"result":{"ok":false,"message":")" + busy + "\"}}"),
         "o servidor respondeu HTTP 503: " + busy + " (tente de novo em 7 s)."},
        {raw(503, "Content-Type: text/plain\r\n", "Manuten\xC3\xA7\xC3\xA3o\x1b[2J\r\n"),
         "HTTP 503: Manutenção\\x1b[2J."},
        {raw(503, "Content-Type: text/plain\r\n", "Falha\r\nExportação realizada com sucesso."),
         "HTTP 503: Falha\\x0d\\x0aExportação realizada com sucesso.."},
        // Words from something else in front: not the server's, not shown.
        {raw(502, "Content-Type: text/html\r\n", "<h1>Bad Gateway</h1>"),
         "o servidor respondeu HTTP 502."},
        {raw(503, json, R"({"ok":true,"message":"x"})"), "o servidor respondeu HTTP 503."},
        {raw(503, "Content-Type: text/plain\r\n", std::string(300000, 'a')),
         "HTTP 503: " + std::string(4096, 'a') + cut(4096) + "."},
        {raw(503, "Content-Type: text/plain\r\n", "\xff\xfe"), "o servidor respondeu HTTP 503."},
        {raw(503, json, R"({"ok":false,"message":")" + flood + "\"}"),
         "HTTP 503: " + flood.substr(0, 4096) + cut(4096) + "."},
        // A refusal in the result: the server's message is all that is shown.
        {refused(flood), flood.substr(0, 4096) + cut(4096)},
        {refused(R"(Falha\r\nExporta\u00e7\u00e3o realizada com sucesso.)"),
         "Falha\\x0d\\x0aExportação realizada com sucesso."},
        // C1 (here the terminal's CSI) by its code, as C0 and DEL.
        {refused(R"(Falha\u009b2J\u007f)"), "Falha\\x9b2J\\x7f"},
        // Cut between characters, also where the reply wrote them as escapes.
        {refused(escaped), shown + cut(4095)},
        // A JSON-RPC error in our words; the server's own only in the detail.
        {rpcError(-32601, "Method not found\\r\\nExportação realizada com sucesso."),
         "): o servidor não reconhece o método GetPrincipal. [erro JSON-RPC -32601: Method not "
         "found\\x0d\\x0aExportação realizada com sucesso.]"},
        {rpcError(-32000, flood),
         "): o servidor falhou ao atender a chamada (erro JSON-RPC -32000). [erro JSON-RPC "
         "-32000: " +
             flood.substr(0, 4096) + cut(4096) + "]"},
        {rpcError(42, ""),
         "): o servidor recusou a chamada (erro JSON-RPC 42). [erro JSON-RPC 42]"},
        {DripServer::reply(200, R"({"jsonrpc":"2.0","id":1,"result":{"ok":false,"message":"x",)"
                                R"("pad":[)" +
                                    std::string(1 << 20, '0') + "]}}"),
         "resposta inválida: passa de 1 MiB fora dos pacotes de \"data\"."},
    };
    for (const auto& c : cases) {
        DripServer peer(whole(DripServer::description()), whole(c.answer));
        const std::string message = failureOf(peer.port(), {});
        EXPECT_LT(message.size(), 64u * 1024);
        EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message.substr(0, 300);
    }
}

// A run asked to stop does not wait for the peer's next byte.
TEST(TransportCancel, StopsACallAtOnceFromAnotherThread)
{
    for (const size_t dripFrom : {size_t{0}, size_t{40}}) {
        DripServer peer(whole(DripServer::description()),
                        {DripServer::reply(200, "{}"), dripFrom, 30s});
        ServerConnection c;
        c.setServerName(kObject);
        c.setPort(peer.port());
        c.open();
        std::thread stop([&c] {
            std::this_thread::sleep_for(200ms);
            c.cancel();
        });
        const auto start = Clock::now();
        std::string message;
        try {
            c.call("GetPrincipal", {"T", "2024-03-15"});
        } catch (const ConnectionError& e) {
            message = e.what();
        }
        stop.join();
        EXPECT_NE(message.find("a chamada foi interrompida a pedido."), std::string::npos)
            << message;
        EXPECT_LT(Clock::now() - start, 10s);
    }
}

} // namespace
