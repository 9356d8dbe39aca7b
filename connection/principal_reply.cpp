#include "principal_reply.h"

#include "server_connection.h"
#include "server_text.h"

#include "base/cp1252.h"
#include "base/wire_contract.h"

namespace dotz {
namespace {

// A key of the result envelope as a message names it.
std::string quoted(std::string_view key)
{
    return "\"" + std::string(key) + "\"";
}

} // namespace

Variant CheckServerResult(const Variant& result, bool abort, int /*n*/,
                          const RefusalReporter& showError)
{
    const Variant::Result* read = result.result();
    const std::string from =
        read ? read->call : std::string("Falha na chamada ao servidor de aplicação");
    const auto bad = [&from](const std::string& what) -> Variant {
        throw ConnectionError(from + ": " + invalidReply(what) + ".");
    };
    if (result.kind() != Variant::Kind::Packet)
        return bad(std::string("o resultado não é um envelope de resultado, e sim ") +
                   Variant::kindName(result.kind()));
    // A packet made elsewhere is read here.
    Variant readHere;
    if (!read) {
        readHere = readResultObject(result.asPacket(), from);
        read = readHere.result();
    }
    if (!read)
        return bad("o resultado não é um objeto");

    const Variant* ok = nullptr;
    const Variant* message = nullptr;
    const Variant* data = nullptr;
    const Variant* retry = nullptr;
    for (const auto& [key, value] : read->members) {
        if (key == wire::envelope::kOk)
            ok = &value;
        else if (key == wire::envelope::kMessage)
            message = &value;
        else if (key == wire::envelope::kData)
            data = &value;
        else if (key == wire::envelope::kRetry)
            retry = &value;
    }
    if (!ok)
        return bad("o envelope de resultado não traz " + quoted(wire::envelope::kOk));
    if (ok->kind() != Variant::Kind::Boolean)
        return bad("no envelope de resultado, " + quoted(wire::envelope::kOk) + " é " +
                   Variant::kindName(ok->kind()) + ", e não um valor lógico");
    if (!ok->asBoolean()) {
        const std::string text = message && message->kind() == Variant::Kind::Text
                                     ? server_text::shown(message->asText())
                                     : from + ": o servidor informou uma falha sem mensagem.";
        if (!showError)
            throw ServerRefusal(text, retry && retry->kind() == Variant::Kind::Boolean &&
                                          retry->asBoolean());
        showError(text);
        if (abort)
            throw Abort();
        return Variant();
    }
    if (!data)
        return bad("o envelope de resultado traz " + quoted(wire::envelope::kOk) +
                   ":true mas não traz " + quoted(wire::envelope::kData));
    return *data;
}

DayPackets dayPackets(const Variant& payload, Day day)
{
    const std::string failure = "Falha na chamada de " + std::string(wire::kMethodGetPrincipal) +
                                " do dia " + day.regional() + ": " + invalidReply("");
    const std::string four = std::to_string(wire::kPacketCount) + " pacotes.";
    if (payload.kind() != Variant::Kind::Array)
        throw ConnectionError(failure + quoted(wire::envelope::kData) + " é " +
                              Variant::kindName(payload.kind()) + ", e não uma lista de " + four);
    const Variant::Array& slots = payload.asArray();
    if (slots.size() != wire::kPacketCount)
        throw ConnectionError(failure + quoted(wire::envelope::kData) + " traz " +
                              std::to_string(slots.size()) + " valores em vez de " + four);
    DayPackets packets;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].kind() != Variant::Kind::Packet)
            throw ConnectionError(failure + "o pacote " + std::to_string(i + 1) + " é " +
                                  Variant::kindName(slots[i].kind()) + ", e não um objeto.");
        packets[i] = slots[i].asPacket();
    }
    return packets;
}

Variant PrincipalServer::check(const Variant& result)
{
    return CheckServerResult(result, true, 0, nullptr);
}

DayPackets fetchPrincipal(PrincipalServer& connection, const std::string& selector, Day day,
                          const EarlyPacket& early)
{
    // The wire carries UTF-8.
    const Variant reply = connection.call(wire::kMethodGetPrincipal,
                                          {Variant(cp1252::toUtf8(selector)), Variant(day)}, early,
                                          wire::kPacketCount);
    return dayPackets(connection.check(reply), day);
}

DayPackets fetchPrincipal(ServerConnection& connection, const std::string& selector, Day day,
                          const EarlyPacket& early)
{
    struct Server : PrincipalServer
    {
        ServerConnection& c;
        explicit Server(ServerConnection& connection) : c(connection) {}
        Variant call(std::string_view method, const std::vector<Variant>& params,
                     const PacketSink& sink, size_t count) override
        {
            return c.call(method, params, sink, count);
        }
    } server(connection);
    return fetchPrincipal(server, selector, day, early);
}

} // namespace dotz
