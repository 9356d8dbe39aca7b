#pragma once
// The SQLite engine behind Store.
#include "store.h"

#include <memory>
#include <string>

namespace dotz::appserver {

std::unique_ptr<Store> openSqlite(const std::string& path, OpenOptions options);

} // namespace dotz::appserver
