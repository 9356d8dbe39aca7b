#pragma once
// GetPrincipal's reply as the export run takes it: the result envelope's check,
// the day's four packets, and the one fetch of a day that both front ends use.
#include "rpc_reply.h"

#include "base/day_fetch.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// A failure the server reported in its result ({"ok":false,"message":M}); what()
// is M as server_text::shown gives it: cut to a few KiB, on one line. With "retry":true the server
// says that another server of the store may not meet it (its database is unavailable).
class ServerRefusal : public Error
{
  public:
    explicit ServerRefusal(const std::string& message, bool anotherMayAnswer = false)
        : Error(message), anotherMayAnswer_(anotherMayAnswer)
    {
    }
    bool anotherMayAnswer() const { return anotherMayAnswer_; }

  private:
    bool anotherMayAnswer_;
};

// Shows a refusal's text (UTF-8) to the operator.
using RefusalReporter = std::function<void(const std::string&)>;

// Reads a result envelope: {"ok":true,"data":X} gives X (a packet array stays an
// array of undecoded packets). {"ok":false,"message":M}, M as server_text::shown
// gives it: without showError it throws ServerRefusal(M); with it, M is shown and
// then dotz::Abort is thrown when abort is true, or a null Variant returned when
// it is false. A result that
// is no envelope throws ConnectionError saying what is wrong (in Portuguese,
// naming the call when the result came from one). n is kept for the toolkit's
// call form; callers pass 0.
Variant CheckServerResult(const Variant& result, bool abort, int n,
                          const RefusalReporter& showError);

// The four packets of a day from GetPrincipal's checked result, in slot order;
// ConnectionError (in Portuguese) when the result is not an array of four packets.
DayPackets dayPackets(const Variant& payload, Day day);

// What a day's fetch needs of a connection: the late-bound call with its reply
// streamed (see ServerConnection::call), and the front end's check of the result.
class PrincipalServer
{
  public:
    virtual ~PrincipalServer() = default;
    virtual Variant call(std::string_view method, const std::vector<Variant>& params,
                         const PacketSink& early, size_t count) = 0;
    // By default CheckServerResult without a reporter: a refusal is thrown.
    virtual Variant check(const Variant& result);
};

// One day of GetPrincipal: the call (its packets handed to `early` as they
// arrive), the check, the four packets. The selector is held in Windows-1252.
// A refusal passes on as the check has it; a call that fails outright throws
// ConnectionError. Serves as a FetchDay.
DayPackets fetchPrincipal(PrincipalServer& connection, const std::string& selector, Day day,
                          const EarlyPacket& early);
class ServerConnection;
DayPackets fetchPrincipal(ServerConnection& connection, const std::string& selector, Day day,
                          const EarlyPacket& early);

} // namespace dotz
