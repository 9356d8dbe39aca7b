// The SQLite store: one connection, its statements kept.
#include "sqlite_store.h"

#include "base/error.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace dotz::appserver {
namespace {

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
        // The server holds one read-only connection per call in progress, and
        // the kernel's page cache already holds the file: 256 KiB each is enough.
        if (options.readOnly)
            exec("PRAGMA cache_size = -256");
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

    // Deferred: its first read takes the state that its later queries see too.
    void beginSnapshot() override { exec("BEGIN"); }

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

} // namespace

std::unique_ptr<Store> openSqlite(const std::string& path, OpenOptions options)
{
    return std::make_unique<SqliteStore>(path, options);
}

} // namespace dotz::appserver
