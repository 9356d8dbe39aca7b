#pragma once
// The host's settings file, as the toolkit services read it. Read anew on every
// request, so a changed file takes effect at the next connection opening.
#include "settings/settings.h"
#include "toolkit_api.h"

#include <string>

namespace dotz {

// Set by the host at start (Settings::locate; empty when there is none).
DOTZ_TOOLKIT_API void setSettingsFile(std::string path);
DOTZ_TOOLKIT_API std::string settingsFile();
// Throws dotz::Error when no file was set or it cannot be read.
DOTZ_TOOLKIT_API Settings hostSettings();

// The application server's host name (used unchanged) and port, from [server].
DOTZ_TOOLKIT_API std::string ServerHost();
DOTZ_TOOLKIT_API int ServerPort();
DOTZ_TOOLKIT_API std::string ServerToken();

} // namespace dotz
