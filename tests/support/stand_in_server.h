#pragma once
// A stand-in application server in front of a real one: it passes every request
// on, except the call for a day it is told to hold (it stalls until released) or
// to drip (it starts the real reply, then sends one byte at a time).
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace dotz::testing {

class StandInServer
{
  public:
    explicit StandInServer(int upstreamPort);
    ~StandInServer();
    StandInServer(const StandInServer&) = delete;
    StandInServer& operator=(const StandInServer&) = delete;
    int port() const { return port_; }

    // Days as YYYY-MM-DD. A dripped reply sends its first `head` bytes at once.
    void stallOn(std::string day);
    void dripOn(std::string day, std::chrono::milliseconds every, size_t head = 64);
    // True once the call for `day` has come in (false after `limit`).
    bool awaitCall(const std::string& day, std::chrono::seconds limit);
    // Lets held calls end (a stalled one with HTTP 503).
    void release();

  private:
    void handle(const httplib::Request& request, httplib::Response& response);

    int upstream_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable changed_;
    std::string stallDay_, dripDay_;
    std::chrono::milliseconds dripEvery_{0};
    size_t dripHead_ = 0;
    std::set<std::string> asked_;
    bool released_ = false;
};

} // namespace dotz::testing
