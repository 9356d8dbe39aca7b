// The PostgreSQL store: one libpq connection, rows one at a time, COPY for bulk.
#include "pg_store.h"

#include "connection_string.h"

#include "appserver/operations/request_log.h"
#include "appserver/principal/selector.h"

#include "base/error.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <functional>
#include <system_error>

namespace dotz::appserver {
namespace {

std::string formatDouble(double value)
{
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc())
        throw Error("cannot format number");
    return std::string(buf, end);
}

struct ResultFree
{
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

class PgRow final : public Row
{
  public:
    PGresult* result = nullptr;
    bool isNull(int column) const override { return PQgetisnull(result, 0, column); }
    std::string_view text(int column) const override
    {
        return {PQgetvalue(result, 0, column), static_cast<size_t>(PQgetlength(result, 0, column))};
    }
    double number(int column) const override
    {
        const std::string_view t = text(column);
        double value = 0;
        auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
        if (ec != std::errc() || end != t.data() + t.size())
            throw Error("valor que n\u00e3o \u00e9 n\u00famero na coluna " +
                        std::string(PQfname(result, column)) + ": " + quoteForMessage(t));
        return value;
    }
};

void noticeToLog(void*, const char* message)
{
    try {
        std::string_view text = message ? message : "";
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.remove_suffix(1);
        logLine("PostgreSQL notice: " + std::string(text));
    } catch (...) {
        // Nothing may leave through libpq; a notice lost is no harm.
    }
}

// connect_timeout as libpq applies it (2 s at least), in ms: 0 none, -1 one to
// leave to libpq.
int connectTimeoutMs(PGconn* conn)
{
    int seconds = 0;
    PQconninfoOption* options = PQconninfo(conn);
    for (const PQconninfoOption* o = options; o && o->keyword; ++o) {
        if (std::string_view(o->keyword) != "connect_timeout" || !o->val || !*o->val)
            continue;
        const std::string_view v = o->val;
        auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
        if (ec != std::errc() || end != v.data() + v.size())
            seconds = -1;
    }
    PQconninfoFree(options);
    return seconds < 0 ? -1 : seconds == 0 ? 0 : std::clamp(seconds, 2, 1'000'000) * 1000;
}

// PQconnectdb, with the notices logged from the start: the server may warn
// while the connection starts (a collation version that changed), before
// PQconnectdb would hand the connection over. The loop is PQconnectdb's but for
// connect_timeout, which only libpq can apply host by host: a wait past it hands
// the connection to PQreset, which starts again in libpq's own loop and keeps the
// processor.
PGconn* connectLogged(const std::string& conninfo)
{
    PGconn* conn = PQconnectStart(conninfo.c_str());
    if (!conn)
        return nullptr;
    logNotices(conn);
    const int timeout = connectTimeoutMs(conn);
    if (timeout < 0) {
        PQreset(conn); // libpq says what is wrong with it
        return conn;
    }
    for (auto state = PGRES_POLLING_WRITING; state != PGRES_POLLING_OK;
         state = PQconnectPoll(conn)) {
        if (state == PGRES_POLLING_FAILED || PQstatus(conn) == CONNECTION_BAD)
            return conn;
        pollfd p{PQsocket(conn),
                 static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        int n = 0;
        while ((n = ::poll(&p, 1, timeout ? timeout : -1)) < 0 && errno == EINTR) {
        }
        if (n == 0) {
            PQreset(conn);
            return conn;
        }
    }
    return conn;
}

// libpq takes $1, $2...; the queries are written with "?" so that both engines share them.
std::string numberParameters(const std::string& sql)
{
    std::string out;
    out.reserve(sql.size() + 16);
    bool quoted = false;
    int n = 0;
    for (char c : sql) {
        if (c == '\'')
            quoted = !quoted;
        if (c == '?' && !quoted)
            out += '$' + std::to_string(++n);
        else
            out += c;
    }
    return out;
}

class PgStore final : public Store
{
  public:
    explicit PgStore(const std::string& uri)
        : uri_(uri), where_("PostgreSQL database " + connectionText(uri))
    {
        try {
            connect();
        } catch (...) {
            PQfinish(conn_);
            throw;
        }
    }
    ~PgStore() override { PQfinish(conn_); }

    Engine engine() const override { return Engine::Postgres; }
    std::string describe() const override { return where_; }

    void exec(const std::string& sql) override
    {
        retryOnBrokenConnection([&] {
            Result r(PQexec(conn_, sql.c_str()));
            const auto status = PQresultStatus(r.get());
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
                fail(r.get());
            return size_t{0};
        });
    }

    void beginSnapshot() override { exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); }

    size_t query(const std::string& sql, const std::vector<std::string>& params,
                 const std::function<void(const Row&)>& onRow) override
    {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const std::string& p : params)
            values.push_back(p.c_str());
        const std::string text = numberParameters(sql);
        size_t count = 0;
        return retryOnBrokenConnection(
            [&] {
                if (!PQsendQueryParams(conn_, text.c_str(), static_cast<int>(values.size()),
                                       nullptr, values.data(), nullptr, nullptr, 0))
                    fail(nullptr);
                // One row at a time: a day's sales must not be held whole in client memory.
                PQsetSingleRowMode(conn_);
                std::exception_ptr thrown;
                Result failed;
                PgRow row;
                // Drained to the end whatever happens, so the connection stays usable.
                while (PGresult* raw = PQgetResult(conn_)) {
                    Result r(raw);
                    const auto status = PQresultStatus(raw);
                    if (thrown || failed)
                        continue;
                    if (status == PGRES_SINGLE_TUPLE) {
                        row.result = raw;
                        ++count;
                        try {
                            onRow(row);
                        } catch (...) {
                            thrown = std::current_exception();
                            cancel();
                        }
                    } else if (status != PGRES_TUPLES_OK) {
                        failed = std::move(r);
                    }
                }
                if (thrown)
                    std::rethrow_exception(thrown);
                if (failed)
                    fail(failed.get());
                return count;
            },
            &count);
    }

    std::unique_ptr<BulkInsert> bulkInsert(const std::string& table,
                                           const std::vector<std::string>& columns) override;
    std::unique_ptr<Cursor> cursor(const std::string&, std::vector<std::string>) override
    {
        throw Error("PostgreSQL reads one query at a time on a connection");
    }

    PGconn* handle() const { return conn_; }
    void cancel()
    {
        if (PGcancel* c = PQgetCancel(conn_)) {
            char why[256];
            PQcancel(c, why, sizeof why);
            PQfreeCancel(c);
        }
    }
    std::string lastError(PGresult* r) const
    {
        std::string why = r ? PQresultErrorMessage(r) : PQerrorMessage(conn_);
        if (why.empty())
            why = PQerrorMessage(conn_);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        return why;
    }
    // A failure of the connection (also the server telling that it shuts down),
    // a query the server cancelled, or a failure of the statement on a sound
    // connection. A hot standby cancels a query whose snapshot or locks hold up
    // its replay with 40001; a read-only transaction meets 40001 nowhere else.
    [[noreturn]] void fail(PGresult* r, const std::string& what = {}) const
    {
        using Kind = DatabaseError::Kind;
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        const std::string_view sqlstate = state ? state : "";
        const bool broken = PQstatus(conn_) == CONNECTION_BAD || sqlstate.starts_with("08") ||
                            sqlstate.starts_with("57P");
        const bool cancelled = sqlstate == "40001" || sqlstate == "40P01" || sqlstate == "57014";
        throw DatabaseError(broken      ? Kind::Unavailable
                            : cancelled ? Kind::Cancelled
                                        : Kind::QueryFailed,
                            what + where_ + ": " + lastError(r));
    }

  private:
    void connect()
    {
        PQfinish(conn_);
        conn_ = connectLogged(uri_);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK)
            throw DatabaseError(DatabaseError::Kind::Unavailable,
                                "cannot connect to " + where_ + ": " +
                                    (conn_ ? lastError(nullptr) : "out of memory"));
        if (PQsetClientEncoding(conn_, "UTF8") != 0)
            fail(nullptr, "cannot set the client encoding to UTF8: ");
        Result r(PQexec(conn_, "SET DateStyle = 'ISO, YMD'"));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK)
            fail(r.get());
    }

    // A pooled connection finds out that the server restarted only when it is
    // used. A statement run outside a transaction that fails that way, before it
    // handed out any row, runs once more on a new connection; inside a
    // transaction the snapshot is gone, so the caller gets the failure.
    size_t retryOnBrokenConnection(const std::function<size_t()>& attempt,
                                   const size_t* rowsHandedOut = nullptr)
    {
        if (PQstatus(conn_) == CONNECTION_BAD)
            connect(); // it broke in an earlier call
        const bool idle = PQtransactionStatus(conn_) == PQTRANS_IDLE;
        try {
            return attempt();
        } catch (const DatabaseError& e) {
            if (!idle || e.kind() != DatabaseError::Kind::Unavailable ||
                (rowsHandedOut && *rowsHandedOut > 0))
                throw;
        }
        connect();
        return attempt();
    }

    std::string uri_; // holds any password: never shown
    std::string where_;
    PGconn* conn_ = nullptr;
};

class PgCopy final : public BulkInsert
{
  public:
    PgCopy(PgStore& store, std::string table, size_t columns)
        : store_(store), table_(std::move(table)), columns_(columns)
    {
        buffer_.reserve(kFlushAt + 4096);
    }
    ~PgCopy() override
    {
        if (!finished_)
            PQputCopyEnd(store_.handle(), "load abandoned");
        while (PGresult* r = PQgetResult(store_.handle()))
            PQclear(r);
    }

    void row(std::initializer_list<Field> fields) override
    {
        if (fields.size() != columns_)
            throw Error("bulk insert into " + table_ + ": wrong number of values");
        bool first = true;
        for (const Field& f : fields) {
            if (!first)
                buffer_ += '\t';
            first = false;
            switch (f.kind) {
            case Field::Null:
                buffer_ += "\\N";
                break;
            case Field::Text:
                for (char c : f.text) {
                    switch (c) {
                    case '\\':
                        buffer_ += "\\\\";
                        break;
                    case '\t':
                        buffer_ += "\\t";
                        break;
                    case '\n':
                        buffer_ += "\\n";
                        break;
                    case '\r':
                        buffer_ += "\\r";
                        break;
                    default:
                        buffer_ += c;
                    }
                }
                break;
            case Field::Number:
                buffer_ += formatDouble(f.number);
                break;
            case Field::Integer:
                buffer_ += std::to_string(f.integer);
                break;
            }
        }
        buffer_ += '\n';
        if (buffer_.size() >= kFlushAt)
            flush();
    }

    void finish() override
    {
        flush();
        finished_ = true;
        if (PQputCopyEnd(store_.handle(), nullptr) != 1)
            store_.fail(nullptr, "loading " + table_ + " into ");
        Result failed;
        while (PGresult* raw = PQgetResult(store_.handle())) {
            Result r(raw);
            if (PQresultStatus(raw) != PGRES_COMMAND_OK && !failed)
                failed = std::move(r);
        }
        if (failed)
            store_.fail(failed.get(), "loading " + table_ + " into ");
    }

    void flush()
    {
        if (buffer_.empty())
            return;
        if (PQputCopyData(store_.handle(), buffer_.data(), static_cast<int>(buffer_.size())) != 1)
            store_.fail(nullptr, "loading " + table_ + " into ");
        buffer_.clear();
    }

  private:
    static constexpr size_t kFlushAt = 1 << 20;
    PgStore& store_;
    std::string table_;
    size_t columns_;
    std::string buffer_;
    bool finished_ = false;
};

std::unique_ptr<BulkInsert> PgStore::bulkInsert(const std::string& table,
                                                const std::vector<std::string>& columns)
{
    std::string sql = "COPY " + table + " (";
    for (size_t i = 0; i < columns.size(); ++i)
        sql += (i ? "," : "") + columns[i];
    sql += ") FROM STDIN";
    Result r(PQexec(conn_, sql.c_str()));
    if (PQresultStatus(r.get()) != PGRES_COPY_IN)
        fail(r.get(), "loading " + table + " into ");
    return std::make_unique<PgCopy>(*this, table, columns.size());
}

} // namespace

std::unique_ptr<Store> openPostgres(const std::string& uri)
{
    return std::make_unique<PgStore>(uri);
}

void logNotices(PGconn* conn)
{
    PQsetNoticeProcessor(conn, noticeToLog, nullptr);
}

} // namespace dotz::appserver
