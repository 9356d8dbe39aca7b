#pragma once
// The few file operations the DOTZ writer needs, behind an interface so that
// failures can be injected in tests.
#include "base/error.h"

#include <optional>
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
    // Creates one directory level; one already there is no failure. A failure
    // raises FileError naming the folder, with its own cause.
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

    // Removes an empty folder; one that holds anything stays, silently.
    virtual void removeDirectory(const std::string& path);
    // Removes what writers killed mid-file left in a folder the run names,
    // whether or not it writes there.
    virtual void sweepFolder(const std::string&) {}

    // The same replacement in steps, so that a day's files wait for the day's
    // checks and share the disk's flushes: a file is staged beside its name,
    // whole (stageFile) or a piece at a time (beginStaged, appendStaged,
    // endStaged); commitStaged puts every staged file in place, in `order`
    // (indexes into the files staged, each once; empty: the order staged), and
    // renames none before every one is flushed; dropStaged removes those staged
    // after the first `keep`, and the file being staged. A failure raises
    // FileError naming the file and drops it; in commitStaged, a failed flush
    // drops every file, and a failed rename raises PlaceError, saying how many
    // went in place before it, and drops the rest.
    // By default staged files wait in memory and go in place with replaceFile.
    virtual void stageFile(const std::string& path, std::string_view data);
    // Only one file is begun at a time. endStaged names the file: where that is
    // not the name it was begun with, the file moves there.
    virtual void beginStaged(const std::string& path);
    virtual void appendStaged(std::string_view data);
    virtual void endStaged(const std::string& path);
    virtual void commitStaged(const std::vector<size_t>& order = {});
    virtual void dropStaged(size_t keep = 0);

  private:
    struct Waiting
    {
        std::string path;
        std::string data;
    };
    std::vector<Waiting> waiting_;
    Waiting beginning_;
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

// A rename of commitStaged failed: the first placed() files of its order are in place.
class PlaceError : public FileError
{
  public:
    PlaceError(const FileError& e, size_t placed) : FileError(e), placed_(placed) {}
    size_t placed() const { return placed_; }

  private:
    size_t placed_;
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
    int (*mkdir)(const char*, mode_t);
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
    void removeDirectory(const std::string& path) override;
    // Staged files wait with their temporaries open, a bounded number of them:
    // past that, the earlier ones are flushed and closed (they stay staged; a
    // failed flush raises FileError and drops that file and those after it).
    void stageFile(const std::string& path, std::string_view data) override;
    void beginStaged(const std::string& path) override;
    void appendStaged(std::string_view data) override;
    void endStaged(const std::string& path) override;
    void commitStaged(const std::vector<size_t>& order = {}) override;
    void dropStaged(size_t keep = 0) override;
    void sweepFolder(const std::string& folder) override;
    static constexpr size_t kMaxStaged = 64;
    static constexpr size_t kFlushThreads = 16;

    // Temporaries of a file are named this prefix + the writer's process id +
    // ".XXXXXX". The first sweep of, or write into, a folder removes every
    // temporary there that a writer of this host left when it died: once per
    // folder for the object's life (a run).
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
    // A file begun in one folder and named in another: its bytes are copied to a
    // temporary there.
    void moveBegun(const std::string& path);
    [[noreturn]] void abandonBegun(const char* step, int err);

    const Syscalls& sys_;
    std::set<std::string> swept_;
    std::vector<Staged> staged_;
    std::optional<Staged> begun_;
    size_t open_ = 0; // staged files whose temporary is still open
};

} // namespace dotz
