#include "host_settings.h"

#include "export/error.h"

#include <cstdlib>

namespace dotz {
namespace {

std::string& path()
{
    static std::string file;
    return file;
}

} // namespace

void setSettingsFile(std::string file)
{
    path() = std::move(file);
}

std::string settingsFile()
{
    return path();
}

Settings hostSettings()
{
    if (path().empty())
        throw Error("no settings file was found (looked at " + Settings::lookupText() + ")");
    return Settings::load(path());
}

std::string ServerHost()
{
    return hostSettings().serverHost();
}

int ServerPort()
{
    return hostSettings().serverPort();
}

std::string ServerToken()
{
    return hostSettings().serverToken();
}

} // namespace dotz
