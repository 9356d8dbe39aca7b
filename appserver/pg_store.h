#pragma once
// The PostgreSQL engine behind Store.
#include "store.h"

#include <memory>
#include <string>

namespace dotz::appserver {

std::unique_ptr<Store> openPostgres(const std::string& uri);

} // namespace dotz::appserver
