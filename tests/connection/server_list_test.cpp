// The store's list of servers as the settings and --server give it, and a day
// that moves along it.
#include "connection/server_list.h"

#include "connection/server_connection.h"
#include "drip_server.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

using namespace dotz;
using dotz::testing::DripServer;

namespace {

std::string listed(std::string_view text, bool tls = false, std::optional<int> port = {})
{
    try {
        std::string out;
        for (const ServerAddress& s : parseServerList(text, tls, port))
            out += (out.empty() ? "" : " ") + s.id();
        return out;
    } catch (const Error& e) {
        return std::string("refused: ") + e.what();
    }
}

TEST(ServerList, ReadsEachEntryOrSaysWhichIsWrong)
{
    const struct
    {
        std::string text;
        bool tls;
        std::optional<int> port;
        std::string gives;
    } cases[] = {
        {"10.0.0.1:8211", false, {}, "http://10.0.0.1:8211"},
        {"a:1, https://b:2,http://c:3", false, {}, "http://a:1 https://b:2 http://c:3"},
        {"a:1,b:2", true, {}, "https://a:1 https://b:2"},
        {"[::1]:9,[fe80::1]", false, 8211, "http://[::1]:9 http://[fe80::1]:8211"},
        // A settings' host as before: a name, or an IPv6 address, with [server] port.
        {"appserver", false, 8211, "http://appserver:8211"},
        {"::1", false, 8211, "http://[::1]:8211"},
        {"appserver", false, {}, "refused: \"appserver\" não tem a porta"},
        {"a:1,,b:2", false, {}, "refused: a lista de servidores \"a:1,,b:2\" tem um item vazio"},
        {"a:1,a:1", false, {}, "refused: a:1 aparece duas vezes"},
        {"a:0", false, {}, "refused: \"a:0\": a porta não é um número de 1 a 65535"},
        {"a:8x", false, {}, "refused: \"a:8x\": a porta não é um número"},
        {"a:", false, {}, "refused: \"a:\" não tem a forma [https://]HOST:PORTA"},
        {":80", false, {}, "refused: \":80\" não traz o nome do servidor"},
        {"[::1:80", false, {}, "refused: \"[::1:80\" abre um endereço IPv6 com [ sem fechá-lo"},
        {"u@evil:80", false, {}, "refused: \"u@evil:80\" não é um nome de servidor"},
        {"a/x:80", false, {}, "refused: \"a/x:80\" não é um nome de servidor"},
    };
    for (const auto& c : cases) {
        const std::string got = listed(c.text, c.tls, c.port);
        EXPECT_EQ(got.substr(0, c.gives.size()), c.gives) << c.text << " gave " << got;
    }
    // From a settings file, the file is to blame: a refusal no retry mends.
    try {
        settingsServerList("/etc/krt/krt.ini", "a:1,,b:2", false, 8211);
        ADD_FAILURE() << "no refusal";
    } catch (const SettingsError& e) {
        EXPECT_STREQ(e.what(), "Arquivo de configurações /etc/krt/krt.ini: [server] host: a lista "
                               "de servidores \"a:1,,b:2\" tem um item vazio.");
    }
}

// How a day goes over a list of `servers` whose first answers with `status`:
// "moved on: <notice>", "answered", or "failed: <what>".
std::string dayOver(int status, size_t servers)
{
    DripServer failing({DripServer::description()},
                       {DripServer::reply(status, R"({"ok":false,"message":"falhou"})")});
    DripServer answering({DripServer::description()},
                         {DripServer::reply(200, R"({"jsonrpc":"2.0","id":1,"result":1})")});
    std::vector<ServerAddress> list{{"127.0.0.1", failing.port()}};
    if (servers > 1)
        list.push_back({"127.0.0.1", answering.port()});
    std::string notice;
    ServerFailover failover(
        list, [](const ServerAddress&) {}, [&notice](const std::string& n) { notice = n; });
    const auto attempt = [&failover] {
        ServerConnection c;
        c.setServerName("Krt52410.rdmExportaDotz");
        c.setPort(failover.current().port);
        c.call("GetPrincipal", {});
        return DayPackets{};
    };
    const Day day = *Day::fromYmd(2024, 3, 15);
    try {
        if (failover.fetch(day, attempt).kind == DayFetch::Kind::Reply)
            return "answered";
        failover.fetch(day, attempt);
        return "moved on: " + notice;
    } catch (const Error& e) {
        return std::string("failed: ") + e.what();
    }
}

TEST(ServerFailover, MovesOnWhereAnotherServerMayAnswer)
{
    const struct
    {
        int status;
        size_t servers;
        std::string gives;
        std::string says;
    } cases[] = {
        {500, 2, "moved on: ", "falhou no dia 15/03/2024 (o servidor respondeu HTTP 500: falhou)"},
        {503, 2, "moved on: ", "(o servidor respondeu HTTP 503: falhou); o dia recomeça"},
        {429, 2, "moved on: ", "(o servidor respondeu HTTP 429: falhou)"},
        {400, 2, "failed: ", "o servidor respondeu HTTP 400: falhou."},
        // Alone, it fails as before.
        {500, 1,
         "failed: ", "Falha na chamada de GetPrincipal ao servidor de aplicação 127.0.0.1:"},
        {500, 1,
         "failed: ", "(objeto Krt52410.rdmExportaDotz): o servidor respondeu HTTP 500: falhou."},
    };
    for (const auto& c : cases) {
        const std::string got = dayOver(c.status, c.servers);
        EXPECT_TRUE(got.starts_with(c.gives)) << c.status << " gave " << got;
        EXPECT_NE(got.find(c.says), std::string::npos) << c.status << " gave " << got;
    }
}

} // namespace
