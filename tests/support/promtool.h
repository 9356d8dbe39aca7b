#pragma once
// promtool's lint of a Prometheus text, for the tests that produce one.
#include <cstdio>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace dotz::testing {

struct PromtoolVerdict
{
    bool passed;
    std::string output;
};

// nullopt when promtool is not installed (scripts/install.sh installs it).
inline std::optional<PromtoolVerdict> promtoolCheckMetrics(const std::string& text)
{
    if (std::system("command -v promtool >/dev/null 2>&1") != 0)
        return std::nullopt;
    char path[] = "/tmp/dotz-promtool-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return PromtoolVerdict{false, "cannot make a temporary file"};
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    std::string output;
    int status = -1;
    if (written) {
        const std::string command = std::string("promtool check metrics <") + path + " 2>&1";
        if (FILE* p = popen(command.c_str(), "r")) {
            char buffer[4096];
            for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
                output.append(buffer, n);
            status = pclose(p);
        }
    }
    unlink(path);
    return PromtoolVerdict{written && WIFEXITED(status) && WEXITSTATUS(status) == 0, output};
}

} // namespace dotz::testing
