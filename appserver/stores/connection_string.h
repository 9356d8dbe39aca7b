#pragma once
// The server's database as given (--db, [appserver] db): which engine it names,
// and how it is shown. A PostgreSQL connection string may hold a password, so
// no message ever quotes it: messages show what libpq reads, without the password.
#include <string>
#include <string_view>

namespace dotz::appserver {

// PostgreSQL's when it is a postgresql:// or postgres:// URI or holds libpq's
// keyword=value pairs (any '=', as libpq itself decides); anything else is an
// SQLite file path.
bool isPostgres(std::string_view db);

// Throws dotz::Error when libpq could misread a PostgreSQL connection string
// (a piece of a password after an '@' or '/' of it taken for the host) or cannot
// read it at all.
// The message says how to write it and quotes none of it.
void checkConnectionString(const std::string& db);

// Whether the connection string itself holds a password (in a URI's user part,
// its query, or password=), as libpq reads it.
bool holdsPassword(const std::string& db);

// The database as messages show it: an SQLite path as it is; a PostgreSQL
// connection string as libpq reads it, without the password; one that
// checkConnectionString refuses, not at all.
std::string connectionText(const std::string& db);

} // namespace dotz::appserver
