#pragma once
// The server's figures for Prometheus (GET /metrics): calls by method and
// outcome, their durations, bytes sent, connections, database errors. Every
// member is safe from any thread.
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace dotz::appserver {

class ServerMetrics
{
  public:
    // How a call ended, as its client saw it.
    enum class Outcome {
        Ok,        // the result, whole
        Refused,   // ok:false, the operator reads why
        RpcError,  // a JSON-RPC error object
        BrokenOff, // part of the reply left, then the connection was cut
    };
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    ServerMetrics();
    ~ServerMetrics();
    ServerMetrics(const ServerMetrics&) = delete;
    ServerMetrics& operator=(const ServerMetrics&) = delete;

    void connectionOpened();
    void connectionClosed();
    void callStarted();
    // `method` is a label: only the object's own method names, or "unknown".
    void callEnded(std::string_view method, Outcome outcome, double seconds);
    void bytesSent(size_t n);
    // Counts the failures that the database caused.
    void failed(const std::exception& e);
    // The spool's bytes in use; the figure appears from its first report.
    void spoolInUse(size_t bytes);

    // The exposition in Prometheus text format.
    std::string text() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace dotz::appserver
