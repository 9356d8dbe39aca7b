#pragma once
// Opens a store on the engine that the database's text names.
#include "store.h"

#include <memory>
#include <string>

namespace dotz::appserver {

// `db` is an SQLite file path or a postgresql:// (or postgres://) URI. Throws
// dotz::Error naming the database when it cannot be opened.
std::unique_ptr<Store> openStore(const std::string& db, OpenOptions options = {});

} // namespace dotz::appserver
