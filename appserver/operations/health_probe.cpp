#include "health_probe.h"

#include "appserver/stores/connection_string.h"
#include "appserver/stores/pg_store.h"
#include "appserver/stores/store.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>

namespace dotz::appserver {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void unavailable(const std::string& detail)
{
    throw DatabaseError(DatabaseError::Kind::Unavailable, detail);
}

// Waits until the socket is ready or the deadline passes.
void await(int fd, bool forWrite, Clock::time_point deadline, const std::string& where)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            unavailable(where + ": no answer within the health deadline");
        pollfd p{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return;
        if (n < 0 && errno != EINTR)
            unavailable(where + ": cannot wait for the database");
    }
}

// libpq's text ends with a newline, and may hold more.
std::string pgError(PGconn* c)
{
    std::string why = PQerrorMessage(c);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
        why.pop_back();
    return why;
}

} // namespace

struct HealthProbe::Connection
{
    sqlite3* lite = nullptr;
    PGconn* pg = nullptr;
    ~Connection()
    {
        sqlite3_close(lite);
        PQfinish(pg);
    }
};

HealthProbe::HealthProbe(std::string db, std::chrono::milliseconds deadline)
    : db_(std::move(db)), deadline_(deadline)
{
}

HealthProbe::~HealthProbe() = default;

void HealthProbe::probe(std::function<void(std::exception_ptr)> done)
{
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back(std::move(done));
        if (running_)
            return;
        running_ = true;
    }
    std::exception_ptr failure;
    try {
        check();
    } catch (...) {
        failure = std::current_exception();
        connection_.reset(); // in an unknown state
    }
    std::vector<std::function<void(std::exception_ptr)>> answered;
    {
        std::lock_guard lock(mutex_);
        answered.swap(waiting_);
        running_ = false;
    }
    for (auto& d : answered)
        d(failure);
}

void HealthProbe::check()
{
    const auto deadline = Clock::now() + deadline_;
    if (!connection_)
        connection_ = std::make_unique<Connection>();
    Connection& c = *connection_;
    if (!isPostgres(db_)) {
        const std::string where = "SQLite database " + db_;
        if (!c.lite) {
            if (sqlite3_open_v2(db_.c_str(), &c.lite, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                nullptr) != SQLITE_OK)
                unavailable("cannot open " + where + ": " +
                            (c.lite ? sqlite3_errmsg(c.lite) : "out of memory"));
            sqlite3_busy_timeout(c.lite, static_cast<int>(deadline_.count()));
        }
        auto stopAt = deadline;
        sqlite3_progress_handler(
            c.lite, 1000,
            [](void* at) { return Clock::now() > *static_cast<Clock::time_point*>(at) ? 1 : 0; },
            &stopAt);
        char* message = nullptr;
        const int rc = sqlite3_exec(c.lite, kCountBranches, nullptr, nullptr, &message);
        const std::string why = message ? message : sqlite3_errmsg(c.lite);
        sqlite3_free(message);
        if (rc != SQLITE_OK)
            unavailable(where + ": " + why);
        return;
    }
    const std::string where = "PostgreSQL database " + connectionText(db_);
    if (c.pg && PQstatus(c.pg) != CONNECTION_OK) {
        PQfinish(c.pg);
        c.pg = nullptr;
    }
    if (!c.pg) {
        c.pg = PQconnectStart(db_.c_str());
        if (!c.pg || PQstatus(c.pg) == CONNECTION_BAD)
            unavailable("cannot connect to " + where);
        logNotices(c.pg);
        for (auto state = PGRES_POLLING_WRITING; state != PGRES_POLLING_OK;) {
            if (state == PGRES_POLLING_FAILED)
                unavailable("cannot connect to " + where + ": " + pgError(c.pg));
            await(PQsocket(c.pg), state == PGRES_POLLING_WRITING, deadline, where);
            state = PQconnectPoll(c.pg);
        }
    }
    if (!PQsendQuery(c.pg, kCountBranches))
        unavailable(where + ": " + pgError(c.pg));
    bool failed = false;
    for (;;) {
        while (PQisBusy(c.pg)) {
            await(PQsocket(c.pg), false, deadline, where);
            if (!PQconsumeInput(c.pg))
                unavailable(where + ": " + pgError(c.pg));
        }
        PGresult* r = PQgetResult(c.pg);
        if (!r)
            break;
        failed = failed || PQresultStatus(r) != PGRES_TUPLES_OK;
        PQclear(r);
    }
    if (failed)
        unavailable(where + ": " + pgError(c.pg));
}

} // namespace dotz::appserver
