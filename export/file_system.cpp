#include "file_system.h"

#include "error.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {
namespace {

const Syscalls kReal = {::mkstemp, ::write, ::fsync, ::close, ::rename, ::unlink};

// mkstemp creates files readable by their owner only; DOTZ files are read by
// another programme, so they get the mode a plain create would give.
mode_t createMode()
{
    static const mode_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

// A writer killed between creating its temporary and renaming it leaves the
// temporary behind. Its name holds host and process, so the next writer of the
// same file on the same host removes it once that process is gone.
void sweepStaleTemporaries(const Syscalls& sys, const std::string& folder, const std::string& prefix)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix))
            continue;
        const std::string_view rest = name.substr(prefix.size());
        const size_t dot = rest.find('.');
        pid_t pid = 0;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + std::min(dot, rest.size()), pid);
        if (ec != std::errc() || dot == std::string_view::npos || end != rest.data() + dot ||
            pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            sys.unlink((folder + "/" + std::string(name)).c_str());
    }
    ::closedir(dir);
}

[[noreturn]] void failed(const char* step, const std::string& path, int err)
{
    throw Error(std::string(step) + " " + path + ": " + std::strerror(err));
}

} // namespace

const Syscalls& realSyscalls() { return kReal; }

std::string PosixFileSystem::temporaryPrefix(const std::string& fileName)
{
    static const std::string host = hostName();
    return "." + fileName + "." + host + ".";
}

bool PosixFileSystem::isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void PosixFileSystem::createDirectory(const std::string& path)
{
    ::mkdir(path.c_str(), 0777);
}

void PosixFileSystem::replaceFile(const std::string& path, std::string_view data)
{
    const std::string folder = folderOf(path);
    const size_t slash = path.rfind('/');
    const std::string prefix =
        temporaryPrefix(path.substr(slash == std::string::npos ? 0 : slash + 1));
    sweepStaleTemporaries(sys_, folder, prefix);
    std::string temp = folder + "/" + prefix + std::to_string(::getpid()) + ".XXXXXX";
    const int fd = sys_.mkstemp(temp.data());
    if (fd < 0)
        failed("cannot create a file in", folder, errno);
    auto abandon = [&](const char* step, int err) {
        sys_.close(fd);
        sys_.unlink(temp.c_str());
        failed(step, path, err);
    };
    if (::fchmod(fd, createMode()) != 0)
        abandon("cannot set the permissions of", errno);
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = sys_.write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            abandon("cannot write", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (sys_.fsync(fd) != 0)
        abandon("cannot flush", errno);
    if (sys_.close(fd) != 0) {
        const int err = errno;
        sys_.unlink(temp.c_str());
        failed("cannot close", path, err);
    }
    if (sys_.rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        sys_.unlink(temp.c_str());
        failed("cannot replace", path, err);
    }
}

void PosixFileSystem::syncDirectory(const std::string& path)
{
    const int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace dotz
