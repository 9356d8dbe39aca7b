#pragma once
// The application servers of one store, tried in turn: the list as the settings
// and --server give it, and a day's fetch that moves on to the next server when
// the one it asked cannot answer. The screen and the command build their fetch
// here, each with its own connection.
#include "base/day.h"
#include "base/day_fetch.h"

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

struct ServerAddress
{
    std::string host; // without brackets
    int port = 0;
    bool tls = false;
    // "https://HOST:PORT" or "http://HOST:PORT" (an IPv6 host in brackets).
    std::string id() const;
    // "HOST:PORT", with https:// in front when it speaks TLS: for messages.
    std::string shown() const;
};

// "HOST:PORT[,HOST:PORT...]", each entry with http:// or https:// in front or
// neither (then `tls` chooses); an IPv6 host in brackets. An entry without a
// port takes `defaultPort`, or is refused without one. Throws dotz::Error
// saying which entry is wrong and why (in Portuguese, without a prefix).
std::vector<ServerAddress> parseServerList(std::string_view text, bool tls,
                                           std::optional<int> defaultPort = std::nullopt);
// The same for the list of a settings file's [server] host: a wrong entry is the
// file's, and throws SettingsError naming the file, the key and the entry.
std::vector<ServerAddress> settingsServerList(const std::string& file, std::string_view hosts,
                                              bool tls, std::optional<int> defaultPort);

// Whether another server of the list may answer what this failure refused:
// no connection, HTTP 429, 500 or 502 to 504, a reply broken off or cut by the
// call's limits, or a refusal the server marks as one another server may not meet.
bool anotherServerMayAnswer(const std::exception& failure);

// A run's days over a list of servers. Each day first goes to the server that
// answered last. When it fails where another may answer, the next server not
// yet asked for the day is chosen, the switch is said, and the fetch gives
// Retry so that the day starts over; once every server has failed for the day,
// one ConnectionError names each and what it met. With one server a failure
// passes on unchanged.
class ServerFailover
{
  public:
    using Select = std::function<void(const ServerAddress&)>;
    using Notice = std::function<void(const std::string&)>;
    // `select` points the connection at a server (before the first day too).
    ServerFailover(std::vector<ServerAddress> servers, Select select, Notice notice);

    const ServerAddress& current() const { return servers_[current_]; }
    // `attempt` fetches `day` from the current server; what it throws is the
    // failure that is weighed.
    DayFetch fetch(Day day, const std::function<DayPackets()>& attempt);

  private:
    std::vector<ServerAddress> servers_;
    Select select_;
    Notice notice_;
    size_t current_ = 0;
    std::optional<Day> day_;
    std::vector<std::string> met_; // for day_, by server: what it failed with
};

// One try at a day on the server the connection points at.
using DayAttempt =
    std::function<DayPackets(const std::string& selector, Day day, const EarlyPacket& early)>;
// A run's fetch of its days over the store's `servers`, through one ServerFailover
// that the fetch keeps: `select` points the connection at a server (the list's
// first at once), `notice` says a switch, `attempt` tries a day.
FetchDay failoverFetch(std::vector<ServerAddress> servers, ServerFailover::Select select,
                       ServerFailover::Notice notice, DayAttempt attempt);

} // namespace dotz
