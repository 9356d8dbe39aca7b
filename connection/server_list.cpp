#include "server_list.h"

#include "principal_reply.h"

#include <charconv>
#include <memory>

namespace dotz {

std::string ServerAddress::id() const
{
    return std::string(tls ? "https://" : "http://") +
           (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" +
           std::to_string(port);
}

std::string ServerAddress::shown() const
{
    const std::string address = id();
    return tls ? address : address.substr(7);
}

namespace {

ServerAddress parseEntry(std::string_view entry, bool tls, std::optional<int> defaultPort)
{
    const std::string quoted = "\"" + std::string(entry) + "\"";
    ServerAddress a;
    a.tls = tls;
    if (entry.starts_with("https://")) {
        a.tls = true;
        entry.remove_prefix(8);
    } else if (entry.starts_with("http://")) {
        a.tls = false;
        entry.remove_prefix(7);
    }
    std::string_view port;
    if (entry.starts_with('[')) {
        const size_t close = entry.find(']');
        if (close == std::string_view::npos || close == 1)
            throw Error(quoted + " abre um endereço IPv6 com [ sem fechá-lo");
        a.host = std::string(entry.substr(1, close - 1));
        const std::string_view rest = entry.substr(close + 1);
        if (!rest.empty() && (!rest.starts_with(':') || rest.size() == 1))
            throw Error(quoted + " não tem a forma [https://]HOST:PORTA");
        port = rest.empty() ? rest : rest.substr(1);
    } else if (const size_t colon = entry.find(':');
               colon != std::string_view::npos && entry.find(':', colon + 1) == entry.npos) {
        a.host = std::string(entry.substr(0, colon));
        port = entry.substr(colon + 1);
        if (port.empty())
            throw Error(quoted + " não tem a forma [https://]HOST:PORTA");
    } else {
        // A name, or an IPv6 address written without brackets: no port in it.
        a.host = std::string(entry);
    }
    if (a.host.empty())
        throw Error(quoted + " não traz o nome do servidor");
    if (a.host.find_first_of("/@?# \t") != std::string::npos)
        throw Error(quoted + " não é um nome de servidor");
    if (port.empty()) {
        if (!defaultPort)
            throw Error(quoted + " não tem a porta (a forma é [https://]HOST:PORTA)");
        a.port = *defaultPort;
        return a;
    }
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), a.port);
    if (error != std::errc() || end != port.data() + port.size() || a.port < 1 || a.port > 65535)
        throw Error(quoted + ": a porta não é um número de 1 a 65535");
    return a;
}

} // namespace

std::vector<ServerAddress> parseServerList(std::string_view text, bool tls,
                                           std::optional<int> defaultPort)
{
    std::vector<ServerAddress> servers;
    size_t start = 0;
    while (true) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string_view entry = text.substr(start, comma - start);
        while (!entry.empty() && entry.front() == ' ')
            entry.remove_prefix(1);
        while (!entry.empty() && entry.back() == ' ')
            entry.remove_suffix(1);
        if (entry.empty())
            throw Error("a lista de servidores \"" + std::string(text) + "\" tem um item vazio");
        ServerAddress a = parseEntry(entry, tls, defaultPort);
        for (const ServerAddress& before : servers)
            if (before.id() == a.id())
                throw Error(a.shown() + " aparece duas vezes na lista de servidores");
        servers.push_back(std::move(a));
        if (comma == text.size())
            return servers;
        start = comma + 1;
    }
}

std::vector<ServerAddress> settingsServerList(const std::string& file, std::string_view hosts,
                                              bool tls, std::optional<int> defaultPort)
{
    try {
        return parseServerList(hosts, tls, defaultPort);
    } catch (const Error& e) {
        throw SettingsError("Arquivo de configurações " + file + ": [server] host: " + e.what() +
                            ".");
    }
}

bool anotherServerMayAnswer(const std::exception& failure)
{
    if (dynamic_cast<const ServerUnavailable*>(&failure))
        return true;
    const auto* refusal = dynamic_cast<const ServerRefusal*>(&failure);
    return refusal && refusal->anotherMayAnswer();
}

ServerFailover::ServerFailover(std::vector<ServerAddress> servers, Select select, Notice notice)
    : servers_(std::move(servers)), select_(std::move(select)), notice_(std::move(notice))
{
    if (servers_.empty())
        throw Error("nenhum servidor de aplicação foi indicado");
    select_(servers_[current_]);
}

DayFetch ServerFailover::fetch(Day day, const std::function<DayPackets()>& attempt)
{
    if (day_ != day) {
        day_ = day;
        met_.assign(servers_.size(), {});
    }
    try {
        return attempt();
    } catch (const std::exception& e) {
        if (servers_.size() == 1 || !anotherServerMayAnswer(e))
            throw;
        const auto* unavailable = dynamic_cast<const ServerUnavailable*>(&e);
        met_[current_] = unavailable ? unavailable->reason() : e.what();
        if (met_[current_].empty())
            met_[current_] = "falhou sem dizer por quê";
    }
    // The next server that has not failed the day yet, in the list's order.
    const size_t from = current_;
    for (size_t step = 1; step < servers_.size(); ++step) {
        const size_t next = (from + step) % servers_.size();
        if (!met_[next].empty())
            continue;
        current_ = next;
        notice_("O servidor de aplicação " + servers_[from].shown() + " falhou no dia " +
                day.regional() + " (" + met_[from] + "); o dia recomeça pelo servidor " +
                servers_[next].shown() + ".");
        select_(servers_[next]);
        return DayFetch::retry();
    }
    std::string each;
    for (size_t i = 0; i < servers_.size(); ++i)
        each += (i ? "; " : "") + servers_[i].shown() + ": " + met_[i];
    throw ConnectionError("Nenhum dos " + std::to_string(servers_.size()) +
                          " servidores de aplicação atendeu a chamada do dia " + day.regional() +
                          " (" + each + ").");
}

FetchDay failoverFetch(std::vector<ServerAddress> servers, ServerFailover::Select select,
                       ServerFailover::Notice notice, DayAttempt attempt)
{
    auto failover =
        std::make_shared<ServerFailover>(std::move(servers), std::move(select), std::move(notice));
    return [failover, attempt = std::move(attempt)](const std::string& selector, Day day,
                                                    const EarlyPacket& early) {
        return failover->fetch(day, [&] { return attempt(selector, day, early); });
    };
}

} // namespace dotz
