#include "store_engines.h"

#include "connection_string.h"
#include "pg_store.h"
#include "sqlite_store.h"

#include "base/error.h"

namespace dotz::appserver {

std::unique_ptr<Store> openStore(const std::string& db, OpenOptions options)
{
    if (db.empty())
        throw Error("no database given");
    if (isPostgres(db)) {
        checkConnectionString(db);
        return openPostgres(db);
    }
    return openSqlite(db, options);
}

} // namespace dotz::appserver
