#include "connection_string.h"

#include "export/error.h"

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
        // libpq takes the credentials up to the first '@' and stops at a '/':
        // an unescaped '@' or '/' of a password turns the rest into the host,
        // port or database, which every message shows.
        std::string_view rest = std::string_view(db).substr(db.find("://") + 3);
        rest = rest.substr(0, rest.find('?'));
        if (const size_t at = rest.find('@'); at != std::string_view::npos) {
            if (rest.find('@', at + 1) != std::string_view::npos)
                return "the connection URI holds more than one '@' before its host: write an "
                       "'@' of the user name or password as %40";
            if (rest.substr(0, at).find('/') != std::string_view::npos)
                return "the connection URI holds a '/' before its '@': write a '/' of the user "
                       "name or password as %2F";
        }
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
