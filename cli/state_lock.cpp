#include "state_lock.h"

#include "state_file.h"

#include "base/paths.h"
#include "base/reasons.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace dotz {
namespace {

// The holder's process id, as it left it, while that process lives; empty when
// there is none yet, or only a dead run's.
std::string holderOf(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string_view line(text, n > 0 ? static_cast<size_t>(n) : 0);
    line = line.substr(0, line.find('\n'));
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
    if (error != std::errc() || end != line.data() + line.size() || pid <= 0)
        return {};
    // EPERM: alive, another user's.
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return {};
    return std::to_string(pid);
}

} // namespace

StateLock::StateLock(const std::string& statePath, std::chrono::milliseconds holderWait)
    : path_(statePath + ".lock")
{
    std::error_code ignored; // a folder that cannot be made shows in the open
    std::filesystem::create_directories(folderOf(statePath), ignored);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        const int err = errno;
        if (err == ELOOP)
            throw StateError("O arquivo de trava " + path_ +
                             " é um link simbólico; a exportação pendente não o segue. "
                             "Apague-o. Nada foi exportado.");
        throw StateError("Não foi possível abrir o arquivo de trava " + path_ + ": " +
                             systemReason(err) + ". Nada foi exportado.",
                         std::strerror(err));
    }
    struct stat st
    {
    };
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw StateError("O arquivo de trava " + path_ +
                         " não é um arquivo comum. Nada foi "
                         "exportado.");
    }
    const auto giveUp = std::chrono::steady_clock::now() + holderWait;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err != EWOULDBLOCK) {
            ::close(fd_);
            throw StateError("Não foi possível travar o arquivo " + path_ + ": " +
                                 systemReason(err) + ". Nada foi exportado.",
                             std::strerror(err));
        }
        const std::string holder = holderOf(fd_);
        if (holder.empty() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue; // the holder may also be gone by then
        }
        ::close(fd_);
        throw StateBusy("Outra exportação pendente está em andamento com o arquivo de estado " +
                        statePath + " (processo " +
                        (holder.empty() ? std::string("de número desconhecido") : holder) +
                        "). Esta termina sem exportar nada; a próxima continua de onde aquela "
                        "parar.");
    }
    // Written over what is there, then cut to length, so that a reader reads a whole
    // line. Only the next run's message needs it, so a failure here is let go.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd_, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size()))
        std::ignore = ::ftruncate(fd_, static_cast<off_t>(pid.size()));
}

StateLock::~StateLock()
{
    // Only a killed run leaves its id behind, for a later run to find dead.
    std::ignore = ::ftruncate(fd_, 0);
    ::close(fd_); // frees the lock
}

} // namespace dotz
