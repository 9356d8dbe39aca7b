#include "connection_string.h"

#include "base/error.h"

#include <libpq-fe.h>

namespace dotz::appserver {
namespace {

constexpr std::string_view kNotShown = " (it is not shown: it may hold a password)";

bool isUri(std::string_view db)
{
    return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

// Why libpq would misread or refuse the string; empty when it reads it as written.
std::string refusal(const std::string& db)
{
    if (isUri(db)) {
        // libpq takes the user name and password up to the first '@' before any
        // '/', and neither '?' nor '#' ends them. Any other '@' is a piece of them
        // that libpq reads as the host, port, database or a parameter, which
        // messages show: so it is the only '@' a URI may hold.
        const std::string_view rest = std::string_view(db).substr(db.find("://") + 3);
        const size_t end = rest.find_first_of("@/");
        const bool credentials = end != std::string_view::npos && rest[end] == '@';
        if (rest.find('@', credentials ? end + 1 : 0) != std::string_view::npos)
            return credentials
                       ? "the connection URI holds an '@' besides the one before its host: "
                         "write an '@' of the user name, the password or another value as %40"
                       : "the connection URI holds a '/' before its '@': write a '/' of the user "
                         "name or password as %2F, and an '@' of another value as %40";
    }
    // libpq's own message would quote the part it could not read.
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(db.c_str(), &error);
    PQfreemem(error);
    if (options) {
        PQconninfoFree(options);
        return {};
    }
    return isUri(db) ? "libpq cannot read the connection URI: write a character of a value that "
                       "URIs use themselves (@ / ? : & = % #, a space) as %40 %2F %3F %3A %26 "
                       "%3D %25 %23 %20"
                     : "libpq cannot read the connection string: it is keyword=value pairs, "
                       "and a value with a space, a quote or a backslash goes in single quotes, "
                       "with \\' and \\\\ inside";
}

} // namespace

bool isPostgres(std::string_view db)
{
    return isUri(db) || db.find('=') != std::string_view::npos;
}

void checkConnectionString(const std::string& db)
{
    if (!isPostgres(db))
        return;
    if (const std::string why = refusal(db); !why.empty())
        throw Error(why + std::string(kNotShown));
}

bool holdsPassword(const std::string& db)
{
    if (!isPostgres(db))
        return false;
    PQconninfoOption* options = PQconninfoParse(db.c_str(), nullptr);
    bool found = false;
    for (const PQconninfoOption* o = options; o && o->keyword; ++o)
        found = found || (std::string_view(o->keyword) == "password" && o->val && *o->val);
    PQconninfoFree(options);
    return found;
}

std::string connectionText(const std::string& db)
{
    if (!isPostgres(db))
        return db;
    if (!refusal(db).empty())
        return "(a connection string that cannot be read safely, not shown)";
    PQconninfoOption* options = PQconninfoParse(db.c_str(), nullptr);
    if (!options)
        return "(a connection string that libpq cannot read, not shown)";
    std::string text;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        // '*' marks what libpq itself never shows: the passwords.
        if (!o->val || !*o->val || (o->dispchar && o->dispchar[0] == '*'))
            continue;
        text += (text.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
    }
    PQconninfoFree(options);
    return text;
}

} // namespace dotz::appserver
