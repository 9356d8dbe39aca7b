#pragma once
// The server's SQL store: one connection to SQLite or PostgreSQL, behind one
// interface so that the packet queries and the demo generator serve both.
// openStore (store_engines.h) opens one; a Store is used by one thread at a
// time, and StorePool (store_pool.h) hands them out.
#include "base/error.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

enum class Engine { Sqlite, Postgres };

// The branches a database holds: whether it answers and holds the schema, for
// the server's start, its health check and the demo's "fill a new one only".
inline constexpr const char* kCountBranches = "SELECT COUNT(*) FROM FILIAL";

// A failure of the database itself. what() is the detail for the server's log
// (never a password); a client is told only the kind, in an operator's words.
class DatabaseError : public Error
{
  public:
    enum class Kind {
        Unavailable, // cannot connect, or the connection broke
        QueryFailed, // the database answered with an error
        // The database cancelled a sound query (a standby's conflict with its
        // replay, a timeout): a later try, or another server, may answer it.
        Cancelled,
    };
    DatabaseError(Kind kind, const std::string& detail) : Error(detail), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// The current row of a query.
class Row
{
  public:
    virtual ~Row() = default;
    virtual bool isNull(int column) const = 0;
    // UTF-8 text of a non-null value.
    virtual std::string_view text(int column) const = 0;
    // A non-null number; throws dotz::Error when the value is not a number.
    virtual double number(int column) const = 0;
    // The same for a value that may be null, where a store can read it at once.
    virtual std::optional<std::string_view> textOrNull(int column) const
    {
        return isNull(column) ? std::nullopt : std::optional(text(column));
    }
    virtual std::optional<double> numberOrNull(int column) const
    {
        return isNull(column) ? std::nullopt : std::optional(number(column));
    }
};

// One value of a bulk row.
struct Field
{
    enum Kind { Null, Text, Number, Integer } kind = Null;
    std::string_view text;
    double number = 0;
    long long integer = 0;
    Field() = default;
    Field(std::nullptr_t) {}
    Field(std::string_view t) : kind(Text), text(t) {}
    Field(const char* t) : kind(Text), text(t) {}
    Field(const std::string& t) : kind(Text), text(t) {}
    Field(double n) : kind(Number), number(n) {}
    Field(int n) : kind(Integer), integer(n) {}
    Field(long long n) : kind(Integer), integer(n) {}
};

// Appends rows to one table as fast as the engine allows (prepared insert, COPY).
class BulkInsert
{
  public:
    virtual ~BulkInsert() = default;
    virtual void row(std::initializer_list<Field> fields) = 0;
    // Ends the load; a load that is dropped without finish() is not guaranteed.
    virtual void finish() = 0;
};

// A query read a row at a time, beside another one that is running.
class Cursor
{
  public:
    virtual ~Cursor() = default;
    // The next row, valid until the next call; null after the last.
    virtual const Row* next() = 0;
};

class Store
{
  public:
    virtual ~Store() = default;
    virtual Engine engine() const = 0;
    // Runs statements without parameters or results (schema, transactions).
    virtual void exec(const std::string& sql) = 0;
    // Begins a read-only transaction whose queries all see one state of the
    // database; COMMIT or ROLLBACK ends it (see Snapshot).
    virtual void beginSnapshot() = 0;
    // Runs one query; "?" marks a parameter, every parameter is bound as text.
    // Calls onRow for each row, in the order of the result; returns the row count.
    virtual size_t query(const std::string& sql, const std::vector<std::string>& params,
                         const std::function<void(const Row&)>& onRow) = 0;
    virtual std::unique_ptr<BulkInsert> bulkInsert(const std::string& table,
                                                   const std::vector<std::string>& columns) = 0;
    // SQLite only: its statements can step side by side on one connection.
    virtual std::unique_ptr<Cursor> cursor(const std::string& sql,
                                           std::vector<std::string> params) = 0;
    // Where the store is, without any password: for messages.
    virtual std::string describe() const = 0;
};

// One state of the database for the queries run while it is held; rolled back
// unless ended.
class Snapshot
{
  public:
    explicit Snapshot(Store& store) : store_(store) { store_.beginSnapshot(); }
    ~Snapshot()
    {
        if (ended_)
            return;
        try {
            store_.exec("ROLLBACK");
        } catch (...) {
        }
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    void end()
    {
        store_.exec("COMMIT");
        ended_ = true;
    }

  private:
    Store& store_;
    bool ended_ = false;
};

struct OpenOptions
{
    bool readOnly = false;
    bool create = false; // SQLite: create the file when it is missing
};

} // namespace dotz::appserver
