#pragma once
// TServerConnection: the form-side face of the Qt-free ServerConnection. It adds
// the BeforeConnect signal that a form's handler is bound to and applies the
// host's token and TLS settings. Failures pass on as ConnectionError, to be shown
// where the action ends, after its clean-up.
#include "toolkit_api.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// Declared in connection/server_connection.h (kept out of this header:
// moc cannot parse the C++20 library headers it pulls in).
class Variant;
class Packet;

// What TServerConnection drives. The real one talks to the application server;
// tests put a recording fake in its place.
class DOTZ_TOOLKIT_API ConnectionBackend
{
  public:
    virtual ~ConnectionBackend() = default;
    // Must run before every opening, including one started by call().
    virtual void setBeforeConnect(std::function<void()> handler) = 0;
    virtual void setServerName(std::string name) = 0;
    virtual void SetHost(std::string host) = 0;
    virtual void setPort(int port) = 0;
    virtual void setToken(std::string token) = 0;
    // HTTPS, verified against caFile or (empty) the system's store.
    virtual void setTls(bool on, std::string caFile) = 0;
    // The longest one call may take (see ServerConnection::CallLimits).
    virtual void setCallTimeout(std::chrono::seconds) {}
    // The largest reply taken (see ServerConnection::CallLimits).
    virtual void setMaxReplyBytes(std::uint64_t) {}
    // Told the bytes of a call's reply in so far, on the calling thread.
    virtual void setReceivedHook(std::function<void(std::uint64_t)>) {}
    virtual void setConnected(bool open) = 0;
    virtual bool connected() const = 0;
    virtual Variant call(std::string_view method, const std::vector<Variant>& params) = 0;
    // The first `count` objects of the result's "data" list may go to `early` while
    // the reply arrives (see ServerConnection::call); by default none do.
    virtual Variant callEarly(std::string_view method, const std::vector<Variant>& params,
                              const std::function<void(size_t, Packet)>& early, size_t count);
};

using BackendFactory = std::function<std::unique_ptr<ConnectionBackend>()>;
// The transport of connections made from now on. An empty factory (the default)
// gives the real one; tests install a fake. Returns the previous factory.
DOTZ_TOOLKIT_API BackendFactory setBackendFactory(BackendFactory factory);
DOTZ_TOOLKIT_API std::unique_ptr<ConnectionBackend> makeServerBackend();

class TServerConnection;

// The server object of an open connection: late-bound calls by method name.
class DOTZ_TOOLKIT_API TServerObject
{
  public:
    explicit TServerObject(TServerConnection* connection) : connection_(connection) {}
    Variant call(std::string_view method, const std::vector<Variant>& params) const;
    Variant call(std::string_view method, const std::vector<Variant>& params,
                 const std::function<void(size_t, Packet)>& early, size_t count) const;

  private:
    TServerConnection* connection_;
};

class DOTZ_TOOLKIT_API TServerConnection : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString ServerName READ ServerName WRITE SetServerName)
    Q_PROPERTY(bool RaiseErrors READ RaiseErrors WRITE SetRaiseErrors)
  public:
    explicit TServerConnection(QObject* owner = nullptr,
                               std::unique_ptr<ConnectionBackend> backend = nullptr);
    ~TServerConnection() override;

    QString ServerName() const { return serverName_; }
    void SetServerName(const QString& name);
    // Kept for the form description. Failures are always thrown, never shown
    // here, so that the action's clean-up (a busy animation) runs first.
    bool RaiseErrors() const { return raiseErrors_; }
    void SetRaiseErrors(bool raise);

    const std::string& Host() const { return host_; }
    void SetHost(std::string host);
    int Port() const { return port_; }
    void SetPort(int port);
    // HTTPS or not for this server, over the host's setting (a list's https://
    // entry); verified against the host's CA.
    void SetTls(bool on);

    // Setting true on a closed connection emits BeforeConnect, then opens it;
    // false closes it.
    bool Connected() const { return backend_->connected(); }
    void SetConnected(bool open) { backend_->setConnected(open); }

    // Told the bytes of a call's reply in so far, as they arrive, on this
    // thread: a progress shown while the call holds it. Empty: none.
    void SetReceivedHook(std::function<void(std::uint64_t)> hook)
    {
        backend_->setReceivedHook(std::move(hook));
    }

    // The server object; a closed connection is opened first (BeforeConnect too),
    // so a form shown again after its close can call the server at once.
    TServerObject AppServer();

  Q_SIGNALS:
    void BeforeConnect(QObject* Sender);

  private:
    friend class TServerObject;
    void beforeConnect();
    void configure();

    std::unique_ptr<ConnectionBackend> backend_;
    QString serverName_;
    bool raiseErrors_ = true;
    std::string host_;
    int port_ = 0;
    std::optional<bool> tls_;
    std::string caFile_; // the host's, as the last opening read it
};

// Reads a server result envelope: gives its data; a failure the server reports
// is shown through the error reporter, and then aborts (abort true) or gives a
// null Variant. n is unused.
DOTZ_TOOLKIT_API Variant CheckServerResult(const Variant& result, bool abort, int n);

} // namespace dotz
