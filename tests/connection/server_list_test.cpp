// The store's list of servers as the settings and --server give it.
#include "connection/server_list.h"

#include <gtest/gtest.h>

using namespace dotz;

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
}

} // namespace
