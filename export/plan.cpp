#include "plan.h"

#include "base/error.h"
#include "base/paths.h"
#include "base/reasons.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {
namespace {

// 0 when this process may create entries in `folder`, else the errno that says why not.
int writable(const std::string& folder)
{
    return ::access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

[[noreturn]] void failed(const char* step, const std::string& path, int err)
{
    throw Error(std::string(step) + " " + path + ": " + systemReason(err));
}

// Keeps what runExport reports of the one day it is given.
struct DayRecorder : RunObserver
{
    void showBusy(int) override {}
    void hideBusy() override {}
    void dayDone(Day, const DayResult& r) override
    {
        done = true;
        files = r.files;
    }
    bool done = false;
    std::vector<WrittenFile> files;
};

} // namespace

bool PlanningFileSystem::isDirectory(const std::string& path)
{
    struct stat st;
    return planned_.count(path) || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

void PlanningFileSystem::createDirectory(const std::string& path)
{
    const std::string parent = folderOf(path);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        refused_[path] = EEXIST; // a file stands where the folder should be
        return;
    }
    if (!isDirectory(parent)) {
        refused_[path] = ENOENT;
        return;
    }
    const int err = planned_.count(parent) ? 0 : writable(parent);
    if (err == 0)
        planned_.insert(path);
    else
        refused_[path] = err;
}

void PlanningFileSystem::replaceFile(const std::string& path, std::string_view)
{
    const std::string folder = folderOf(path);
    if (planned_.count(folder) == 0) {
        if (const auto why = refused_.find(folder); why != refused_.end())
            failed("não foi possível criar a pasta", folder, why->second);
        if (!isDirectory(folder))
            failed("não foi possível criar um arquivo em", folder, ENOENT);
        if (const int err = writable(folder))
            failed("não foi possível criar um arquivo em", folder, err);
    }
    if (isDirectory(path))
        failed("não foi possível substituir", path, EISDIR);
}

std::vector<DayCheck> checkExport(const RunRequest& request, const FetchDay& fetch,
                                  const PathMap& paths, const MessageTable& messages)
{
    PlanningFileSystem planner;
    ComparingFileSystem fs(planner);
    // A branch that no longer sells on a day left its file where others' go.
    std::set<std::string> folders;
    std::vector<DayCheck> days;
    for (Day day = request.from; request.to >= day; day = day.next()) {
        RunRequest one = request;
        one.from = one.to = day;
        DayRecorder recorder;
        DayCheck& check = days.emplace_back(DayCheck{day, false, false, {}, {}, {}, {}});
        try {
            runExport(one, fetch, paths, fs, recorder, messages);
        } catch (const Stopped&) {
            throw;
        } catch (const std::exception& e) {
            // runExport reports a day once it passed every check and its files were
            // planned; what it raises after that is only that the day gave no file.
            if (!recorder.done) {
                check.refused = true;
                check.lasting = dynamic_cast<const LastingError*>(&e) != nullptr;
                check.refusal = e.what();
            }
        }
        check.files = std::move(recorder.files);
        std::map<std::string, InPlace> compared;
        for (ComparedFile& f : fs.take())
            compared[f.localPath] = f.state;
        std::set<std::string> given;
        for (const WrittenFile& f : check.files) {
            const auto c = compared.find(f.localPath);
            check.inPlace.push_back(c == compared.end() ? InPlace::New : c->second);
            given.insert(f.localPath);
            folders.insert(folderOf(f.localPath));
        }
        if (!check.refused)
            check.left = filesLeftInPlace(folders, day, request.with515, request.selector, given);
    }
    return days;
}

std::vector<WrittenFile> rewriteChanged(const RunRequest& request, const FetchDay& fetch,
                                        const PathMap& paths, FileSystem& fs,
                                        const MessageTable& messages)
{
    ComparingFileSystem rewriter(fs, true);
    RunRequest one = request;
    one.to = one.from;
    DayRecorder recorder;
    runExport(one, fetch, paths, rewriter, recorder, messages);
    std::set<std::string> changed;
    for (const ComparedFile& f : rewriter.take())
        if (f.state != InPlace::Equal)
            changed.insert(f.localPath);
    std::vector<WrittenFile> written;
    for (WrittenFile& f : recorder.files)
        if (changed.count(f.localPath))
            written.push_back(std::move(f));
    return written;
}

} // namespace dotz
