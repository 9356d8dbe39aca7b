#pragma once
// Demo back-office data: deterministic from a seed, so that a test or a
// benchmark can name the database it needs by its flags.
#include "appserver/stores/store.h"

#include <cstdint>
#include <functional>
#include <string>

namespace dotz::appserver {

struct DemoOptions
{
    uint64_t seed = 1;
    int branches = 4;
    int tills = 3; // per branch
    std::string firstDay = "2024-03-11";
    int days = 7;
    // Sales with a DOTZ customer per day, across all branches. About one in ten
    // more sales has no DOTZ customer; about as many items carry extra points.
    long long salesPerDay = 200;
    std::function<void(const std::string&)> progress; // one line per day, optional
};

struct DemoSummary
{
    long long branches = 0, products = 0, promotionProducts = 0;
    long long dotzSales = 0, otherSales = 0, extraItems = 0, plainItems = 0;
};

// Creates the tables (if missing) of the store's engine.
void createSchema(Store& store);
const char* schemaSql(Engine engine);

// Creates the schema and fills it. Refuses (dotz::Error) a database that already
// holds branches, and options out of range.
DemoSummary initDemo(Store& store, const DemoOptions& options);

} // namespace dotz::appserver
