#include "host_settings.h"

#include "base/error.h"

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
        throw Error("Nenhum arquivo de configurações foi encontrado (procurado em " +
                    Settings::lookupText() + ").");
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
