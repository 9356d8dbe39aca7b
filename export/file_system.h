#pragma once
// The few file operations the DOTZ writer needs, behind an interface so that
// failures can be injected in tests.
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace dotz {

class FileSystem {
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
    virtual void syncDirectory(const std::string& path) = 0;
};

// The system calls PosixFileSystem makes; tests replace some to inject failures.
struct Syscalls {
    int (*mkstemp)(char*);
    ssize_t (*write)(int, const void*, size_t);
    int (*fsync)(int);
    int (*close)(int);
    int (*rename)(const char*, const char*);
    int (*unlink)(const char*);
};
const Syscalls& realSyscalls();

class PosixFileSystem : public FileSystem {
public:
    explicit PosixFileSystem(const Syscalls& calls = realSyscalls()) : sys_(calls) {}
    bool isDirectory(const std::string& path) override;
    void createDirectory(const std::string& path) override;
    void replaceFile(const std::string& path, std::string_view data) override;
    void syncDirectory(const std::string& path) override;

    // Temporaries of a file are named this prefix + the writer's process id +
    // ".XXXXXX". The first write into a folder removes every temporary there
    // that a writer of this host left when it died: once per folder for the
    // object's life (a run).
    static std::string temporaryPrefix(const std::string& fileName);

private:
    const Syscalls& sys_;
    std::set<std::string> swept_;
};

} // namespace dotz
