#pragma once
// The preflight: the period's days fetched, checked and passed through the real
// writer on a file system that only plans, so that every problem of the period
// shows in one run and nothing is written.
#include "compare_plan.h"
#include "file_system.h"
#include "run.h"

#include <map>
#include <set>

namespace dotz {

// Answers the writer as PosixFileSystem would, writing nothing: a folder is
// created only in the plan, when its parent exists (or is planned) and may be
// written; a file is planned only in such a folder. Failures raise dotz::Error in
// PosixFileSystem's words.
class PlanningFileSystem : public FileSystem
{
  public:
    bool isDirectory(const std::string& path) override;
    void createDirectory(const std::string& path) override;
    void removeDirectory(const std::string& path) override { planned_.erase(path); }
    void replaceFile(const std::string& path, std::string_view data) override;
    void syncDirectory(const std::string&) override {}
    // Staged files are checked as replaceFile checks them, when named; their
    // bytes go nowhere.
    void stageFile(const std::string& path, std::string_view) override { replaceFile(path, {}); }
    void beginStaged(const std::string&) override {}
    void appendStaged(std::string_view) override {}
    void endStaged(const std::string& path) override { replaceFile(path, {}); }
    void commitStaged(const std::vector<size_t>&) override {}
    void dropStaged(size_t) override {}

  private:
    std::set<std::string> planned_;
    std::map<std::string, int> refused_; // folder -> errno of its creation
};

struct DayCheck
{
    Day day;
    bool refused = false;
    bool lasting = false;           // refused for a reason no retry mends
    std::string refusal;            // UTF-8, what the real run would show
    std::vector<WrittenFile> files; // what it would write
    // Each of files against the file in its place; and the day's files in place
    // that it no longer gives.
    std::vector<InPlace> inPlace{};
    std::vector<WrittenFile> left{};
};

// Each day of the request on its own through runExport with one
// PlanningFileSystem, its files compared with those in place; a day's refusal
// or failure is recorded and the next day goes on.
std::vector<DayCheck> checkExport(const RunRequest& request, const FetchDay& fetch,
                                  const PathMap& paths,
                                  const MessageTable& messages = dotzMessages());

// The files of one day (request.from) that differ from those in place, or are
// not there, written over them on `fs` as a run writes; those equal stay as
// they are, and no file is removed. Gives the files written; throws as
// runExport does.
std::vector<WrittenFile> rewriteChanged(const RunRequest& request, const FetchDay& fetch,
                                        const PathMap& paths, FileSystem& fs,
                                        const MessageTable& messages = dotzMessages());

} // namespace dotz
