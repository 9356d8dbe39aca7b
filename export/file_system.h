#pragma once
// The few file operations the DOTZ writer needs, behind an interface so that
// failures can be injected in tests.
#include "error.h"

#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace dotz {

class FileSystem
{
  public:
    virtual ~FileSystem() = default;
    virtual bool isDirectory(const std::string& path) = 0;
    // Creates one directory level; the outcome is not examined (a failure shows
    // in the write that follows).
    virtual void createDirectory(const std::string& path) = 0;
    // Replaces the file at `path` by `data` so that no reader ever sees it
    // half-written: a temporary in the same folder, flushed to disk and renamed
    // over `path`. On failure the temporary is removed, any earlier file of that
    // name is left as it was, and dotz::Error says which step failed and why.
    virtual void replaceFile(const std::string& path, std::string_view data) = 0;
    // Makes the renames done in a folder durable; one call serves many files.
    // A failed flush raises FileError naming the folder.
    virtual void syncDirectory(const std::string& path) = 0;
    // The same for many folders, which may be flushed side by side; every folder
    // is flushed before a failure is raised.
    virtual void syncDirectories(const std::set<std::string>& folders)
    {
        for (const std::string& folder : folders)
            syncDirectory(folder);
    }

    // The same replacement in two steps, so that many files can share the disk's
    // flushes: stageFile writes `data` beside `path`, commitStaged puts every
    // staged file in place, each flushed before its rename, in the order staged.
    // A failure raises FileError naming the file; files staged before it are put
    // in place all the same, those after it are dropped. By default a staged file
    // is replaced at once.
    virtual void stageFile(const std::string& path, std::string_view data)
    {
        replaceFile(path, data);
    }
    virtual void commitStaged() {}
    // While held, staged files wait for commitStaged however many there are, or
    // for dropStaged, which removes every staged file not yet in place. Returns
    // false when this file system cannot hold them (a staged file is in place at
    // once); nothing may then be staged ahead of a day's checks.
    virtual bool holdStaged(bool) { return false; }
    virtual void dropStaged() {}
};

// replaceFile, then syncDirectory of its folder: the new file outlives a power cut.
void replaceDurably(FileSystem& fs, const std::string& path, std::string_view data);

// A failed file operation; path() is the file (or folder) it was about.
class FileError : public Error
{
  public:
    FileError(const std::string& what, std::string path) : Error(what), path_(std::move(path)) {}
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The system calls PosixFileSystem makes; tests replace some to inject failures.
struct Syscalls
{
    int (*mkstemp)(char*);
    ssize_t (*write)(int, const void*, size_t);
    int (*fsync)(int);
    int (*close)(int);
    int (*rename)(const char*, const char*);
    int (*unlink)(const char*);
};
const Syscalls& realSyscalls();

class PosixFileSystem : public FileSystem
{
  public:
    explicit PosixFileSystem(const Syscalls& calls = realSyscalls()) : sys_(calls) {}
    // Staged files that were never committed are dropped.
    ~PosixFileSystem() override;
    PosixFileSystem(const PosixFileSystem&) = delete;
    PosixFileSystem& operator=(const PosixFileSystem&) = delete;

    bool isDirectory(const std::string& path) override;
    void createDirectory(const std::string& path) override;
    void replaceFile(const std::string& path, std::string_view data) override;
    void syncDirectory(const std::string& path) override;
    void syncDirectories(const std::set<std::string>& folders) override;
    // Staged files wait with their temporaries open, a bounded number of them:
    // past that, staging commits the earlier ones first, or, while held, flushes
    // and closes them (they stay staged; a failure raises FileError and leaves
    // them to dropStaged).
    void stageFile(const std::string& path, std::string_view data) override;
    void commitStaged() override;
    bool holdStaged(bool hold) override;
    void dropStaged() override;
    static constexpr size_t kMaxStaged = 64;
    static constexpr size_t kFlushThreads = 16;

    // Temporaries of a file are named this prefix + the writer's process id +
    // ".XXXXXX". The first write into a folder removes every temporary there
    // that a writer of this host left when it died: once per folder for the
    // object's life (a run).
    static std::string temporaryPrefix(const std::string& fileName);

  private:
    struct Staged
    {
        int fd;
        std::string temp;
        std::string path;
    };
    void drop(const Staged& s);
    void flushOpen();
    int flushFolder(const std::string& path) const;

    const Syscalls& sys_;
    std::set<std::string> swept_;
    std::vector<Staged> staged_;
    size_t open_ = 0; // staged files whose temporary is still open
    bool held_ = false;
};

} // namespace dotz
