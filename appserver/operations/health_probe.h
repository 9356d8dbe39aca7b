#pragma once
// The database check of GET /health. It runs on a network thread with a
// connection and a deadline of its own, so that it never queues behind the
// calls that hold the query pool; probes asked for while one runs share its
// answer, so at most one network thread is ever in one.
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dotz::appserver {

class HealthProbe
{
  public:
    HealthProbe(std::string db, std::chrono::milliseconds deadline);
    ~HealthProbe();
    HealthProbe(const HealthProbe&) = delete;
    HealthProbe& operator=(const HealthProbe&) = delete;

    // done gets null when the database answered within the deadline, else a
    // DatabaseError; on this thread, or on the thread of the probe in progress.
    void probe(std::function<void(std::exception_ptr)> done);

  private:
    struct Connection;
    void check(); // throws

    std::string db_;
    std::chrono::milliseconds deadline_;
    std::unique_ptr<Connection> connection_; // kept between probes; only the prober uses it
    std::mutex mutex_;
    bool running_ = false;
    std::vector<std::function<void(std::exception_ptr)>> waiting_;
};

} // namespace dotz::appserver
