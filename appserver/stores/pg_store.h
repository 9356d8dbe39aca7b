#pragma once
// The PostgreSQL engine behind Store.
#include "store.h"

#include <memory>
#include <string>

typedef struct pg_conn PGconn; // as libpq-fe.h declares it

namespace dotz::appserver {

std::unique_ptr<Store> openPostgres(const std::string& uri);

// Sends libpq's notices on `conn` (a warning of the server, "there is no
// transaction in progress") to the server's log, one stamped line each, rather
// than raw to stderr. Set it before the connection starts: the server may warn
// while it starts.
void logNotices(PGconn* conn);

} // namespace dotz::appserver
