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

std::string defaultSettingsFile()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::string(xdg) + "/krt/krt.ini";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/krt/krt.ini";
}

Settings hostSettings()
{
    if (path().empty())
        throw Error("the host has no settings file");
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
