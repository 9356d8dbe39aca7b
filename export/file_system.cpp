#include "file_system.h"
#include "temporaries.h"

#include "base/error.h"
#include "base/paths.h"
#include "base/reasons.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace dotz {
namespace {

const Syscalls kReal = {::mkstemp, ::write, ::fsync, ::close, ::rename, ::unlink, ::mkdir};

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

// A full file system is full of bytes or out of inodes: the operator frees
// space either way, but not the same kind.
std::string reasonAt(const std::string& path, int err)
{
    if (err != ENOSPC)
        return systemReason(err);
    struct statvfs st;
    const bool known =
        ::statvfs(path.c_str(), &st) == 0 || ::statvfs(folderOf(path).c_str(), &st) == 0;
    if (known && st.f_files != 0 && st.f_favail == 0)
        return "sem espaço para arquivos novos: o sistema de arquivos não tem mais inodes livres "
               "(ENOSPC)";
    return systemReason(err);
}

FileError failure(const char* step, const std::string& path, int err)
{
    return FileError(std::string(step) + " " + path + ": " + reasonAt(path, err), path);
}

[[noreturn]] void failed(const char* step, const std::string& path, int err)
{
    throw failure(step, path, err);
}

// Runs job(0) .. job(n - 1) on up to `threads` threads, this one included. Flushes
// are run so: the file system serves waiting flushes with one journal commit and
// one device flush, where one after another would pay for one each.
template <class Job> void sideBySide(size_t n, size_t threads, const Job& job)
{
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i; (i = next++) < n;)
            job(i);
    };
    std::vector<std::jthread> helpers;
    try {
        while (helpers.size() + 1 < std::min(n, threads))
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // No more threads: those there are do the work.
    }
    work();
}

// Flushes a staged file; 0 or the error. Once on disk its pages leave the
// cache: the files are read by another programme, later, and a large day's
// gigabytes would otherwise push out what the back office itself reads, and
// cost this process fresh pages for every file that follows.
int flushAndLetGo(const Syscalls& sys, int fd)
{
    if (sys.fsync(fd) != 0)
        return errno;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED); // only a hint
    return 0;
}

} // namespace

const Syscalls& realSyscalls()
{
    return kReal;
}

std::string PosixFileSystem::temporaryPrefix(const std::string& fileName)
{
    return temporaries::prefix(fileName);
}

bool PosixFileSystem::isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void PosixFileSystem::createDirectory(const std::string& path)
{
    if (sys_.mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        failed("não foi possível criar a pasta", path, errno);
}

void PosixFileSystem::sweepFolder(const std::string& folder)
{
    if (swept_.insert(folder).second)
        temporaries::sweepStale(folder, sys_.unlink);
}

PosixFileSystem::~PosixFileSystem()
{
    dropStaged();
}

void PosixFileSystem::drop(const Staged& st)
{
    if (st.fd >= 0)
        sys_.close(st.fd);
    sys_.unlink(st.temp.c_str());
}

void FileSystem::removeDirectory(const std::string& path)
{
    ::rmdir(path.c_str());
}

void FileSystem::stageFile(const std::string& path, std::string_view data)
{
    waiting_.push_back({path, std::string(data)});
}

void FileSystem::beginStaged(const std::string& path)
{
    beginning_ = {path, {}};
}

void FileSystem::appendStaged(std::string_view data)
{
    beginning_.data.append(data);
}

void FileSystem::endStaged(const std::string& path)
{
    waiting_.push_back({path, std::exchange(beginning_.data, {})});
}

void FileSystem::commitStaged(const std::vector<size_t>& order)
{
    const std::vector<Waiting> waiting = std::exchange(waiting_, {});
    for (size_t k = 0; k < waiting.size(); ++k) {
        const Waiting& w = waiting[order.empty() ? k : order[k]];
        try {
            replaceFile(w.path, w.data);
        } catch (const FileError& e) {
            throw PlaceError(e, k);
        }
    }
}

void FileSystem::dropStaged(size_t keep)
{
    if (keep < waiting_.size())
        waiting_.resize(keep);
    beginning_ = {};
}

void PosixFileSystem::removeDirectory(const std::string& path)
{
    ::rmdir(path.c_str());
}

void PosixFileSystem::replaceFile(const std::string& path, std::string_view data)
{
    stageFile(path, data);
    commitStaged();
}

void PosixFileSystem::stageFile(const std::string& path, std::string_view data)
{
    beginStaged(path);
    appendStaged(data);
    endStaged(path);
}

void PosixFileSystem::beginStaged(const std::string& path)
{
    if (begun_)
        drop(*std::exchange(begun_, std::nullopt));
    if (open_ >= kMaxStaged)
        flushOpen();
    const std::string folder = folderOf(path);
    const size_t slash = path.rfind('/');
    const std::string prefix =
        temporaryPrefix(path.substr(slash == std::string::npos ? 0 : slash + 1));
    sweepFolder(folder);
    std::string temp = folder + "/" + prefix + std::to_string(::getpid()) + ".XXXXXX";
    const int fd = sys_.mkstemp(temp.data());
    if (fd < 0)
        failed("não foi possível criar um arquivo em", folder, errno);
    begun_ = Staged{fd, std::move(temp), path};
    if (::fchmod(fd, createMode()) != 0)
        abandonBegun("não foi possível ajustar as permissões de", errno);
}

void PosixFileSystem::abandonBegun(const char* step, int err)
{
    const Staged st = *std::exchange(begun_, std::nullopt);
    drop(st);
    failed(step, st.path, err);
}

void PosixFileSystem::appendStaged(std::string_view data)
{
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = sys_.write(begun_->fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            abandonBegun("não foi possível escrever em", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
}

void PosixFileSystem::moveBegun(const std::string& path)
{
    Staged from = *std::exchange(begun_, std::nullopt);
    struct DropOld
    {
        PosixFileSystem& fs;
        Staged& st;
        ~DropOld() { fs.drop(st); }
    } dropOld{*this, from};
    beginStaged(path);
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(from.fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            abandonBegun("não foi possível ler", errno);
        if (n == 0)
            break;
        appendStaged({buffer, static_cast<size_t>(n)});
        at += n;
    }
}

void PosixFileSystem::endStaged(const std::string& path)
{
    if (path != begun_->path) {
        if (folderOf(path) == folderOf(begun_->path))
            begun_->path = path; // the temporary's own name does not matter
        else
            moveBegun(path);
    }
    // The disk starts on the data now, while the next files are written, so that
    // the flush before the rename finds little left to do. Only a hint: the flush
    // reports what fails.
    ::sync_file_range(begun_->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    staged_.push_back(*std::exchange(begun_, std::nullopt));
    ++open_;
}

void PosixFileSystem::dropStaged(size_t keep)
{
    if (begun_)
        drop(*std::exchange(begun_, std::nullopt));
    for (size_t i = keep; i < staged_.size(); ++i) {
        open_ -= staged_[i].fd >= 0;
        drop(staged_[i]);
    }
    if (keep < staged_.size())
        staged_.resize(keep);
}

void PosixFileSystem::flushOpen()
{
    std::vector<Staged*> open;
    for (Staged& st : staged_)
        if (st.fd >= 0)
            open.push_back(&st);
    std::vector<int> flushErrors(open.size(), 0);
    sideBySide(open.size(), kFlushThreads,
               [&](size_t i) { flushErrors[i] = flushAndLetGo(sys_, open[i]->fd); });
    for (size_t i = 0; i < open.size(); ++i) {
        int err = flushErrors[i];
        const char* step = "não foi possível levar ao disco";
        if (err == 0) {
            const int fd = std::exchange(open[i]->fd, -1);
            --open_;
            if (sys_.close(fd) == 0)
                continue;
            err = errno;
            step = "não foi possível fechar";
        }
        // A file whose flush failed is not flushed again (a second flush may
        // report nothing of the first one's loss): it and those after it go.
        const std::string path = open[i]->path;
        dropStaged(static_cast<size_t>(open[i] - staged_.data()));
        failed(step, path, err);
    }
}

void PosixFileSystem::commitStaged(const std::vector<size_t>& order)
{
    if (begun_)
        drop(*std::exchange(begun_, std::nullopt));
    std::vector<Staged> batch = std::exchange(staged_, {});
    open_ = 0;
    struct DropLeft
    {
        PosixFileSystem& fs;
        std::vector<Staged>& batch;
        ~DropLeft()
        {
            for (const Staged& st : batch)
                if (!st.temp.empty())
                    fs.drop(st);
        }
    } dropLeft{*this, batch};
    // Those flushed and closed while held need no second flush.
    std::vector<size_t> open;
    for (size_t i = 0; i < batch.size(); ++i)
        if (batch[i].fd >= 0)
            open.push_back(i);
    std::vector<int> flushErrors(batch.size(), 0);
    sideBySide(open.size(), kFlushThreads,
               [&](size_t k) { flushErrors[open[k]] = flushAndLetGo(sys_, batch[open[k]].fd); });
    // Nothing goes in place unless every file is on disk: the day is whole or absent.
    for (Staged& st : batch) {
        const size_t i = static_cast<size_t>(&st - batch.data());
        if (flushErrors[i] != 0)
            failed("não foi possível levar ao disco", st.path, flushErrors[i]);
        if (st.fd >= 0 && sys_.close(std::exchange(st.fd, -1)) != 0)
            failed("não foi possível fechar", st.path, errno);
    }
    for (size_t k = 0; k < batch.size(); ++k) {
        Staged& st = batch[order.empty() ? k : order[k]];
        if (sys_.rename(st.temp.c_str(), st.path.c_str()) != 0)
            throw PlaceError(failure("não foi possível substituir", st.path, errno), k);
        st.temp.clear();
    }
}

int PosixFileSystem::flushFolder(const std::string& path) const
{
    // A folder this process may write into but not read is left to the file system.
    const int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return 0;
    const int err = sys_.fsync(dir) == 0 ? 0 : errno;
    ::close(dir);
    return err;
}

void PosixFileSystem::syncDirectory(const std::string& path)
{
    if (const int err = flushFolder(path))
        failed("não foi possível levar ao disco a pasta", path, err);
}

void PosixFileSystem::syncDirectories(const std::set<std::string>& folders)
{
    const std::vector<std::string> list(folders.begin(), folders.end());
    std::vector<int> errors(list.size(), 0);
    sideBySide(list.size(), kFlushThreads, [&](size_t i) { errors[i] = flushFolder(list[i]); });
    for (size_t i = 0; i < list.size(); ++i)
        if (errors[i])
            failed("não foi possível levar ao disco a pasta", list[i], errors[i]);
}

void replaceDurably(FileSystem& fs, const std::string& path, std::string_view data)
{
    fs.replaceFile(path, data);
    fs.syncDirectory(folderOf(path));
}

} // namespace dotz
