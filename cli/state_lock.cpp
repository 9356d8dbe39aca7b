#include "state_lock.h"

#include "state_file.h"

#include "export/paths.h"
#include "export/reasons.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {
namespace {

// The holder's process id, as it left it; empty when it cannot be read.
std::string holderOf(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid(text, n > 0 ? static_cast<size_t>(n) : 0);
    pid.resize(std::min(pid.find('\n'), pid.size()));
    const bool digits = !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos;
    return digits ? pid : std::string();
}

} // namespace

StateLock::StateLock(const std::string& statePath) : path_(statePath + ".lock")
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
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        const std::string holder = err == EWOULDBLOCK ? holderOf(fd_) : std::string();
        ::close(fd_);
        if (err != EWOULDBLOCK)
            throw StateError("Não foi possível travar o arquivo " + path_ + ": " +
                                 systemReason(err) + ". Nada foi exportado.",
                             std::strerror(err));
        throw StateBusy("Outra exportação pendente está em andamento com o arquivo de estado " +
                        statePath + " (processo " +
                        (holder.empty() ? std::string("de número ainda não gravado") : holder) +
                        "). Esta termina sem exportar nada; a próxima continua de onde aquela "
                        "parar.");
    }
    // Written over the old one, then cut to length: a reader never finds it empty.
    // Only the next run's message needs it, so a failure here is let go.
    const std::string pid = std::to_string(::getpid()) + "\n";
    const bool written =
        ::pwrite(fd_, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    if (written && ::ftruncate(fd_, static_cast<off_t>(pid.size())) != 0)
        return;
}

StateLock::~StateLock()
{
    ::close(fd_); // frees the lock
}

} // namespace dotz
