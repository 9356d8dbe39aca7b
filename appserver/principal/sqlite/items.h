#pragma once
// What GetPrincipal does on SQLite alone. SQLite would seek each item's sale and
// product; here the items are read beside the day's sales, in the same order,
// and each product's barcode is looked up once.
#include "appserver/principal/selector.h"
#include "appserver/stores/store.h"

#include <cstddef>
#include <functional>
#include <string>

namespace dotz::appserver {

// The rows of PrincipalQuery::Items on a SQLite store: calls onRow for each, in
// the query's order, and returns their count. An item without its sale's
// customer or its product is left out, as PostgreSQL's join leaves it.
size_t readSqliteItems(Store& store, const BranchSelector& selector, const std::string& day,
                       const std::function<void(const Row&)>& onRow);

} // namespace dotz::appserver
