#pragma once
// The two engines behind Store, each in its own file.
#include "store.h"

namespace dotz::appserver {

std::unique_ptr<Store> openSqlite(const std::string& path, OpenOptions options);
std::unique_ptr<Store> openPostgres(const std::string& uri);

} // namespace dotz::appserver
