#include "staged_day.h"

#include "base/paths.h"
#include "day_placing.h"

#include <utility>

namespace dotz {

StagedDay::~StagedDay()
{
    if (!settled_)
        drop();
}

void StagedDay::ensureFolder(const std::string& localDir)
{
    if (folders_.insert(localDir).second && !fs_.isDirectory(localDir)) {
        fs_.createDirectory(localDir);
        madeFolders_.push_back(localDir);
        // Its name in the parent outlives a power cut only with the parent's flush.
        folders_.insert(folderOf(localDir));
    }
}

void StagedDay::failedUnnamed(const Error& e)
{
    failedWrite_ = FileError(e.what(), "");
    if (const auto* fileError = dynamic_cast<const FileError*>(&e))
        failedWrite_ = *fileError;
}

void StagedDay::naming(std::string_view windowsPath)
{
    if (failedWrite_ && !writeError_)
        writeError_ = cannotWrite(*failedWrite_, files_, windowsPath);
}

void StagedDay::failed(const Error& e, std::string_view windowsPath)
{
    writeError_ = cannotWrite(e, files_, windowsPath);
}

void StagedDay::restore(const Mark& m)
{
    fs_.dropStaged(m.files);
    files_.resize(m.files);
    writeError_ = m.writeError;
    failedWrite_ = m.failedWrite;
}

std::vector<WrittenFile> StagedDay::place(Day day)
{
    settled_ = true;
    try {
        placeDay(fs_, day, files_, std::exchange(folders_, {}));
    } catch (const PartlyPlaced& e) {
        if (e.placed().empty())
            dropFolders();
        throw;
    } catch (const Error&) {
        dropFolders();
        throw;
    }
    return std::move(files_); // in the order the day gave them
}

void StagedDay::drop()
{
    settled_ = true;
    try {
        fs_.dropStaged();
    } catch (...) {
        // Dropping is the way out of a failed day: its own error says more.
    }
    dropFolders();
}

void StagedDay::dropFolders()
{
    try {
        // Only when empty: a folder someone else wrote into meanwhile stays.
        for (auto f = madeFolders_.rbegin(); f != madeFolders_.rend(); ++f)
            fs_.removeDirectory(*f);
    } catch (...) {
        // Only on the way out of a failed day: its own error says more.
    }
}

} // namespace dotz
