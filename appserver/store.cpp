#include "store.h"

#include "export/error.h"

#include <libpq-fe.h>

namespace dotz::appserver {

bool isPostgresUri(std::string_view db)
{
    return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::string connectionText(const std::string& db)
{
    if (!isPostgresUri(db))
        return db;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(db.c_str(), &error);
    PQfreemem(error);
    if (!options)
        return "(a connection URI that libpq cannot read)";
    std::string text;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        // '*' marks what libpq itself never shows: the password.
        if (!o->val || !*o->val || (o->dispchar && o->dispchar[0] == '*'))
            continue;
        text += (text.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
    }
    PQconninfoFree(options);
    return text;
}

} // namespace dotz::appserver
