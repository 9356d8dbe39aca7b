#pragma once
// A day's files as they are staged beside their names, the folders made for
// them, and the first write that failed; then placed together, or dropped.
#include "base/day.h"
#include "file_names.h"
#include "file_system.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

class StagedDay
{
  public:
    explicit StagedDay(FileSystem& fs) : fs_(fs) {}
    // A day neither placed nor dropped drops what it staged.
    ~StagedDay();
    StagedDay(const StagedDay&) = delete;
    StagedDay& operator=(const StagedDay&) = delete;

    FileSystem& fs() { return fs_; }
    // No write failed so far.
    bool ok() const { return !writeError_ && !failedWrite_; }
    // Makes the DOTZ folder when it is not there, and remembers it to be
    // flushed (with its parent when made) and removed again on a refusal.
    void ensureFolder(const std::string& localDir);
    void add(WrittenFile file) { files_.push_back(std::move(file)); }

    // A write failed before its file had a name: named when its run ends.
    void failedUnnamed(const Error& e);
    // The file being written is named `windowsPath`: an earlier unnamed failure takes its name.
    void naming(std::string_view windowsPath);
    // A write of the file named `windowsPath` failed.
    void failed(const Error& e, std::string_view windowsPath);
    const std::optional<std::string>& writeError() const { return writeError_; }

    // What the day held at a point, to go back to when a packet starts over.
    struct Mark
    {
        size_t files = 0;
        std::optional<std::string> writeError;
        std::optional<FileError> failedWrite;
    };
    Mark mark() const { return {files_.size(), writeError_, failedWrite_}; }
    void restore(const Mark& m);

    // Every staged file, in place and flushed (day_placing.h); a failure leaves
    // the folders made for them removed where none of its files went in place.
    std::vector<WrittenFile> place(Day day);
    // Drops the staged files and the folders made for them, where empty.
    void drop();

  private:
    void dropFolders();

    FileSystem& fs_;
    std::vector<WrittenFile> files_;
    std::set<std::string> folders_;         // of the files staged, and those made in, to be flushed
    std::vector<std::string> madeFolders_;  // made for them, removed on a refusal
    std::optional<FileError> failedWrite_;  // a write failed; named when its run ends
    std::optional<std::string> writeError_; // the first failed write, in the operator's words
    bool settled_ = false;
};

} // namespace dotz
