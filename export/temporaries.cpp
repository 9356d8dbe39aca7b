#include "temporaries.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <string_view>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>

namespace dotz::temporaries {

namespace {

std::string hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "host";
    std::string host(name);
    for (char& c : host)
        if (c == '/' || c == '.')
            c = '_';
    return host;
}

const std::string& thisHost()
{
    static const std::string host = hostName();
    return host;
}

} // namespace

std::string prefix(const std::string& fileName)
{
    return "." + fileName + "." + thisHost() + ".";
}

// A writer killed between creating its temporary and renaming it leaves the
// temporary behind: ".<file>.<host>.<pid>.XXXXXX". Only those of this host whose
// process is gone are removed; another host's, or a live writer's, stay.
void sweepStale(const std::string& folder, int (*unlink)(const char*))
{
    const std::string& host = thisHost();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        // From the end: the random part, the process, the host, then the file's name.
        constexpr size_t kRandom = 6;
        if (!name.starts_with('.') || name.size() < kRandom + 1 ||
            name[name.size() - kRandom - 1] != '.')
            continue;
        std::string_view rest = name.substr(0, name.size() - kRandom - 1);
        const size_t pidDot = rest.rfind('.');
        if (pidDot == std::string_view::npos)
            continue;
        pid_t pid = 0;
        const std::string_view digits = rest.substr(pidDot + 1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (ec != std::errc() || end != digits.data() + digits.size() || pid <= 0 || pid == self)
            continue;
        rest = rest.substr(0, pidDot);
        if (!rest.ends_with("." + host) || rest.size() < host.size() + 3)
            continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            unlink((folder + "/" + std::string(name)).c_str());
    }
    ::closedir(dir);
}

} // namespace dotz::temporaries
