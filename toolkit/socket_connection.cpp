#include "socket_connection.h"

#include "connection/principal_reply.h"
#include "connection/server_connection.h"
#include "error_reporter.h"
#include "host_settings.h"

namespace dotz {
namespace {

class ServerBackend final : public ConnectionBackend
{
  public:
    void setBeforeConnect(std::function<void()> handler) override
    {
        connection_.setBeforeConnect(
            [handler = std::move(handler)](ServerConnection&) { handler(); });
    }
    void setServerName(std::string name) override { connection_.setServerName(std::move(name)); }
    void SetHost(std::string host) override { connection_.SetHost(std::move(host)); }
    void setPort(int port) override { connection_.setPort(port); }
    void setToken(std::string token) override { connection_.setToken(std::move(token)); }
    void setTls(bool on, std::string caFile) override { connection_.setTls(on, std::move(caFile)); }
    void setCallTimeout(std::chrono::seconds timeout) override
    {
        ServerConnection::CallLimits limits = connection_.callLimits();
        limits.callTimeout = timeout;
        connection_.setCallLimits(limits);
    }
    void setReceivedHook(std::function<void(std::uint64_t)> hook) override
    {
        connection_.setReceivedHook(std::move(hook));
    }
    void setMaxReplyBytes(std::uint64_t most) override
    {
        ServerConnection::CallLimits limits = connection_.callLimits();
        limits.maxReplyBytes = most;
        connection_.setCallLimits(limits);
    }
    void setConnected(bool open) override { connection_.setConnected(open); }
    bool connected() const override { return connection_.connected(); }
    Variant call(std::string_view method, const std::vector<Variant>& params) override
    {
        return connection_.call(method, params);
    }
    Variant callEarly(std::string_view method, const std::vector<Variant>& params,
                      const PacketSink& early, size_t count) override
    {
        return connection_.call(method, params, early, count);
    }

  private:
    ServerConnection connection_;
};

BackendFactory& factory()
{
    static BackendFactory current;
    return current;
}

} // namespace

BackendFactory setBackendFactory(BackendFactory next)
{
    BackendFactory previous = std::move(factory());
    factory() = std::move(next);
    return previous;
}

std::unique_ptr<ConnectionBackend> makeServerBackend()
{
    if (factory())
        return factory()();
    return std::make_unique<ServerBackend>();
}

Variant ConnectionBackend::callEarly(std::string_view method, const std::vector<Variant>& params,
                                     const std::function<void(size_t, Packet)>&, size_t)
{
    return call(method, params);
}

Variant TServerObject::call(std::string_view method, const std::vector<Variant>& params) const
{
    return connection_->backend_->call(method, params);
}

Variant TServerObject::call(std::string_view method, const std::vector<Variant>& params,
                            const std::function<void(size_t, Packet)>& early, size_t count) const
{
    return connection_->backend_->callEarly(method, params, early, count);
}

TServerConnection::TServerConnection(QObject* owner, std::unique_ptr<ConnectionBackend> backend)
    : QObject(owner), backend_(backend ? std::move(backend) : makeServerBackend())
{
    configure();
}

TServerConnection::~TServerConnection() = default;

void TServerConnection::configure()
{
    backend_->setBeforeConnect([this] { beforeConnect(); });
    backend_->setServerName(serverName_.toStdString());
}

void TServerConnection::SetServerName(const QString& name)
{
    serverName_ = name;
    backend_->setServerName(name.toStdString());
}

void TServerConnection::SetRaiseErrors(bool raise)
{
    raiseErrors_ = raise;
}

void TServerConnection::SetHost(std::string host)
{
    host_ = host;
    backend_->SetHost(std::move(host));
}

void TServerConnection::SetPort(int port)
{
    backend_->setPort(port);
    port_ = port;
}

void TServerConnection::SetTls(bool on)
{
    tls_ = on;
    backend_->setTls(on, caFile_);
}

void TServerConnection::beforeConnect()
{
    // Token and TLS are the host's business, not the form's: read anew for every
    // opening, before the form's handler sets host and port.
    if (!settingsFile().empty()) {
        const Settings settings = hostSettings();
        backend_->setToken(settings.serverToken());
        caFile_ = settings.serverCa();
        backend_->setTls(tls_.value_or(settings.serverTls()), caFile_);
        backend_->setCallTimeout(settings.serverCallTimeout());
        backend_->setMaxReplyBytes(settings.serverMaxReplyBytes().value_or(kDefaultMaxReplyBytes));
    }
    Q_EMIT BeforeConnect(this);
}

TServerObject TServerConnection::AppServer()
{
    if (!Connected())
        SetConnected(true);
    return TServerObject(this);
}

Variant CheckServerResult(const Variant& result, bool abort, int n)
{
    return CheckServerResult(result, abort, n,
                             [](const std::string& text) { ShowErrorUtf8(text, false); });
}

} // namespace dotz
