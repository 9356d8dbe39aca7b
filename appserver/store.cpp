#include "store.h"

#include "selector.h"

#include "export/error.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
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

// ---- SQLite -------------------------------------------------------------------------

// The file cannot be reached or read as a database, as against a statement that fails.
DatabaseError::Kind sqliteKind(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return DatabaseError::Kind::Unavailable;
    default:
        return DatabaseError::Kind::QueryFailed;
    }
}

class SqliteStore;
class SqliteCursor;

class SqliteRow final : public Row
{
  public:
    // Through the column's value: one sqlite3_column_* call per access, each of
    // which costs more than the access itself. (The value is unprotected, which
    // is sound here: a connection serves one thread at a time.)
    explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
    bool isNull(int column) const override
    {
        return sqlite3_value_type(sqlite3_column_value(stmt_, column)) == SQLITE_NULL;
    }
    std::string_view text(int column) const override
    {
        return text(sqlite3_column_value(stmt_, column));
    }
    double number(int column) const override
    {
        return number(column, sqlite3_column_value(stmt_, column));
    }
    std::optional<std::string_view> textOrNull(int column) const override
    {
        sqlite3_value* value = sqlite3_column_value(stmt_, column);
        if (sqlite3_value_type(value) == SQLITE_NULL)
            return std::nullopt;
        return text(value);
    }
    std::optional<double> numberOrNull(int column) const override
    {
        sqlite3_value* value = sqlite3_column_value(stmt_, column);
        if (sqlite3_value_type(value) == SQLITE_NULL)
            return std::nullopt;
        return number(column, value);
    }

  private:
    static std::string_view text(sqlite3_value* value)
    {
        auto* p = reinterpret_cast<const char*>(sqlite3_value_text(value));
        return p ? std::string_view(p, static_cast<size_t>(sqlite3_value_bytes(value)))
                 : std::string_view();
    }
    double number(int column, sqlite3_value* value) const
    {
        const int type = sqlite3_value_type(value);
        if (type != SQLITE_INTEGER && type != SQLITE_FLOAT)
            throw Error("valor que n\u00e3o \u00e9 n\u00famero na coluna " +
                        std::string(sqlite3_column_name(stmt_, column)));
        return sqlite3_value_double(value);
    }

    sqlite3_stmt* stmt_;
};

class SqliteStore final : public Store
{
  public:
    SqliteStore(const std::string& path, OpenOptions options) : path_(path)
    {
        if (!options.create && !std::filesystem::exists(path))
            throw DatabaseError(DatabaseError::Kind::Unavailable,
                                "SQLite database " + path + " does not exist");
        int flags = SQLITE_OPEN_NOMUTEX;
        flags |= options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
        if (options.create && !options.readOnly)
            flags |= SQLITE_OPEN_CREATE;
        const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw DatabaseError(DatabaseError::Kind::Unavailable,
                                "cannot open SQLite database " + path + ": " + why);
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, 10000);
        exec("PRAGMA foreign_keys = ON");
    }
    ~SqliteStore() override
    {
        for (auto& [sql, stmt] : statements_)
            sqlite3_finalize(stmt);
        sqlite3_close(db_);
    }

    Engine engine() const override { return Engine::Sqlite; }
    std::string describe() const override { return "SQLite database " + path_; }

    void exec(const std::string& sql) override
    {
        char* message = nullptr;
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK) {
            const std::string why = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw DatabaseError(sqliteKind(rc), describe() + ": " + why);
        }
    }

    size_t query(const std::string& sql, const std::vector<std::string>& params,
                 const std::function<void(const Row&)>& onRow) override
    {
        sqlite3_stmt* stmt = prepare(sql);
        Reset reset{stmt};
        for (size_t i = 0; i < params.size(); ++i)
            sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].data(),
                              static_cast<int>(params[i].size()), SQLITE_STATIC);
        SqliteRow row(stmt);
        size_t count = 0;
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW)
                fail(rc);
            ++count;
            onRow(row);
        }
        return count;
    }

    std::unique_ptr<BulkInsert> bulkInsert(const std::string& table,
                                           const std::vector<std::string>& columns) override;
    std::unique_ptr<Cursor> cursor(const std::string& sql,
                                   std::vector<std::string> params) override;

    sqlite3_stmt* prepare(const std::string& sql)
    {
        // Statements are kept: the same few queries run on every request.
        auto found = statements_.find(sql);
        if (found != statements_.end())
            return found->second;
        sqlite3_stmt* stmt = nullptr;
        const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                          SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK)
            fail(rc);
        if (statements_.size() > 64) {
            // Not those still stepping (a query can run inside another's rows),
            // nor those a bulk insert holds between its rows.
            std::erase_if(statements_, [this](const auto& kept) {
                if (sqlite3_stmt_busy(kept.second) || std::ranges::count(cursors_, kept.second) ||
                    std::ranges::count(pinned_, kept.second))
                    return false;
                sqlite3_finalize(kept.second);
                return true;
            });
        }
        statements_.emplace(sql, stmt);
        return stmt;
    }
    [[noreturn]] void fail(int rc, const std::string& what = {}) const
    {
        throw DatabaseError(sqliteKind(rc), what + describe() + ": " + sqlite3_errmsg(db_));
    }

  private:
    struct Reset
    {
        sqlite3_stmt* stmt;
        ~Reset()
        {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
    };

    std::string path_;
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
    std::vector<sqlite3_stmt*> cursors_; // the statements of open cursors
    std::vector<sqlite3_stmt*> pinned_;  // the statements of open bulk inserts
    friend class SqliteCursor;
    friend class SqliteBulk;
};

class SqliteBulk final : public BulkInsert
{
  public:
    SqliteBulk(SqliteStore& store, std::string table, size_t columns)
        : store_(store), table_(std::move(table)), columns_(columns)
    {
    }
    ~SqliteBulk() override { std::erase(store_.pinned_, stmt_); }
    void prepare(const std::string& sql)
    {
        stmt_ = store_.prepare(sql);
        store_.pinned_.push_back(stmt_);
    }

    void row(std::initializer_list<Field> fields) override
    {
        if (fields.size() != columns_)
            throw Error("bulk insert into " + table_ + ": wrong number of values");
        int i = 1;
        for (const Field& f : fields) {
            switch (f.kind) {
            case Field::Null:
                sqlite3_bind_null(stmt_, i);
                break;
            case Field::Text:
                sqlite3_bind_text(stmt_, i, f.text.data(), static_cast<int>(f.text.size()),
                                  SQLITE_STATIC);
                break;
            case Field::Number:
                sqlite3_bind_double(stmt_, i, f.number);
                break;
            case Field::Integer:
                sqlite3_bind_int64(stmt_, i, f.integer);
                break;
            }
            ++i;
        }
        const int rc = sqlite3_step(stmt_);
        sqlite3_reset(stmt_);
        if (rc != SQLITE_DONE)
            store_.fail(rc, "insert into " + table_ + " in ");
    }
    void finish() override { sqlite3_clear_bindings(stmt_); }

  private:
    SqliteStore& store_;
    std::string table_;
    size_t columns_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteCursor final : public Cursor
{
  public:
    SqliteCursor(SqliteStore& store, sqlite3_stmt* stmt, std::vector<std::string> params)
        : store_(store), stmt_(stmt), params_(std::move(params)), row_(stmt)
    {
        store_.cursors_.push_back(stmt_);
        for (size_t i = 0; i < params_.size(); ++i)
            sqlite3_bind_text(stmt_, static_cast<int>(i + 1), params_[i].data(),
                              static_cast<int>(params_[i].size()), SQLITE_STATIC);
    }
    ~SqliteCursor() override
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        std::erase(store_.cursors_, stmt_);
    }
    const Row* next() override
    {
        if (done_)
            return nullptr;
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return &row_;
        done_ = true;
        if (rc != SQLITE_DONE)
            store_.fail(rc);
        return nullptr;
    }

  private:
    SqliteStore& store_;
    sqlite3_stmt* stmt_;
    std::vector<std::string> params_; // bound without a copy
    SqliteRow row_;
    bool done_ = false;
};

std::unique_ptr<Cursor> SqliteStore::cursor(const std::string& sql, std::vector<std::string> params)
{
    return std::make_unique<SqliteCursor>(*this, prepare(sql), std::move(params));
}

std::unique_ptr<BulkInsert> SqliteStore::bulkInsert(const std::string& table,
                                                    const std::vector<std::string>& columns)
{
    std::string sql = "INSERT INTO " + table + " (";
    std::string marks;
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += (i ? "," : "") + columns[i];
        marks += i ? ",?" : "?";
    }
    sql += ") VALUES (" + marks + ")";
    auto bulk = std::make_unique<SqliteBulk>(*this, table, columns.size());
    bulk->prepare(sql);
    return bulk;
}

// ---- PostgreSQL ---------------------------------------------------------------------

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
    // or of the statement on a sound connection.
    [[noreturn]] void fail(PGresult* r, const std::string& what = {}) const
    {
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        const std::string_view sqlstate = state ? state : "";
        const bool broken = PQstatus(conn_) == CONNECTION_BAD || sqlstate.starts_with("08") ||
                            sqlstate.starts_with("57P");
        throw DatabaseError(broken ? DatabaseError::Kind::Unavailable
                                   : DatabaseError::Kind::QueryFailed,
                            what + where_ + ": " + lastError(r));
    }

  private:
    void connect()
    {
        PQfinish(conn_);
        conn_ = PQconnectdb(uri_.c_str());
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

bool isPostgresUri(std::string_view db)
{
    return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::string connectionText(const std::string& db)
{
    if (!isPostgresUri(db))
        return db;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(db.c_str(), &error);
    PQfreemem(error);
    if (!options)
        return "(a connection URI that libpq cannot read)";
    std::string text;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        // '*' marks what libpq itself never shows: the password.
        if (!o->val || !*o->val || (o->dispchar && o->dispchar[0] == '*'))
            continue;
        text += (text.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
    }
    PQconninfoFree(options);
    return text;
}

std::unique_ptr<Store> openStore(const std::string& db, OpenOptions options)
{
    if (db.empty())
        throw Error("no database given");
    if (isPostgresUri(db))
        return std::make_unique<PgStore>(db);
    return std::make_unique<SqliteStore>(db, options);
}

StorePool::Lease::~Lease()
{
    if (!store_ || discard_)
        return;
    std::lock_guard lock(pool_->mutex_);
    if (pool_->idle_.size() < 16)
        pool_->idle_.push_back(std::move(store_));
}

StorePool::Lease StorePool::acquire()
{
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto store = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(store));
        }
    }
    return Lease(*this, openStore(db_, options_));
}

} // namespace dotz::appserver
