#pragma once
// A bare HTTP peer that answers each request with fixed bytes, sending them from
// `dripFrom` on one byte at a time: a server that keeps a call alive without
// ever ending it, in its status line and headers as well as its body.
#include "loopback_listener.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace dotz::testing {

class DripServer
{
  public:
    struct Answer
    {
        std::string bytes;
        size_t dripFrom = std::string::npos;
        std::chrono::milliseconds every{5000};
    };
    // A whole HTTP/1.1 reply with this status and JSON body.
    static std::string reply(int status, const std::string& body);
    // The object's description, as the application server gives it.
    static std::string description();

    DripServer(Answer get, Answer post);
    ~DripServer();
    int port() const { return listener_.port(); }

  private:
    void serve(int client);
    bool send(int client, const Answer& answer);

    Answer get_, post_;
    std::mutex m_;
    std::condition_variable stopping_;
    bool stopped_ = false;
    LoopbackListener listener_; // last: its threads use what comes before
};

} // namespace dotz::testing
