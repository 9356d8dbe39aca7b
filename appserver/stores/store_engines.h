#pragma once
// Opens a store on the engine that the database's text names.
#include "store.h"

#include <memory>
#include <string>

namespace dotz::appserver {

// `db` is an SQLite file path or a PostgreSQL connection string (isPostgres). Throws
// dotz::Error naming the database, without its password, when it cannot be opened.
std::unique_ptr<Store> openStore(const std::string& db, OpenOptions options = {});

} // namespace dotz::appserver
