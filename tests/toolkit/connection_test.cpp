// TServerConnection over the real transport, against a small HTTP server.
#include "qt_test_env.h"

#include "base/error.h"
#include "connection/rpc_reply.h"
#include "toolkit/host_settings.h"
#include "toolkit/socket_connection.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <thread>

namespace dotz {
namespace {

class ObjectServer
{
  public:
    ObjectServer()
    {
        server_.Get("/rpc/Krt52410.rdmExportaDotz",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        authorization = request.get_header_value("Authorization");
                        response.set_content(R"({"object":"Krt52410.rdmExportaDotz",)"
                                             R"("methods":["GetPrincipal"]})",
                                             "application/json");
                    });
        port = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~ObjectServer() { stop(); }
    void stop()
    {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

    int port = 0;
    std::string authorization;

  private:
    httplib::Server server_;
    std::thread thread_;
};

TEST(ServerConnection, OpensWithTheHostsTokenAndThrowsAFailureWithoutShowingIt)
{
    ObjectServer server;
    test::TempSettings settings(
        "[server]\nhost = 127.0.0.1\nport = " + std::to_string(server.port) + "\ntoken = s3cret\n");
    TServerConnection connection;
    connection.SetServerName(QStringLiteral("Krt52410.rdmExportaDotz"));
    connection.SetRaiseErrors(false);
    QObject::connect(&connection, &TServerConnection::BeforeConnect, &connection, [&](QObject*) {
        connection.SetHost(ServerHost());
        connection.SetPort(ServerPort());
    });

    connection.SetConnected(true);
    EXPECT_TRUE(connection.Connected());
    EXPECT_EQ(server.authorization, "Bearer s3cret");
    connection.SetConnected(false);
    EXPECT_FALSE(connection.Connected());

    server.stop();
    test::MessageRecorder recorder;
    // Shown where the action ends, after its clean-up; never here.
    try {
        connection.SetConnected(true);
        ADD_FAILURE() << "no failure";
    } catch (const ConnectionError& e) {
        EXPECT_NE(std::string(e.what()).find(std::to_string(server.port)), std::string::npos);
    }
    EXPECT_FALSE(connection.Connected());
    EXPECT_TRUE(recorder.texts().isEmpty());
}

} // namespace
} // namespace dotz
