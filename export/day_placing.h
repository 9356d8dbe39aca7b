#pragma once
// A day's staged files put in place together and made durable: a branch's
// files one after another, so that a kill among the renames leaves no branch
// with its 500 and without its 510, and the folders flushed before the day is
// said to be done.
#include "file_names.h"
#include "file_system.h"

#include "base/day.h"
#include "base/error.h"

#include <set>
#include <string>
#include <vector>

namespace dotz {

// A day that failed while its files went in place (a rename, or the flush of
// their folders, failed): placed() are in place, the rest of its files not.
class PartlyPlaced : public Error
{
  public:
    PartlyPlaced(const std::string& what, Day day, std::vector<WrittenFile> placed,
                 std::string placedText)
        : Error(what), day_(day), placed_(std::move(placed)), placedText_(std::move(placedText))
    {
    }
    Day day() const { return day_; }
    const std::vector<WrittenFile>& placed() const { return placed_; }
    // Which of the day's files are in place (file_names.h).
    const std::string& placedText() const { return placedText_; }

  private:
    Day day_;
    std::vector<WrittenFile> placed_;
    std::string placedText_;
};

// Which of a day's files (`files`, each branch's together) are in place, when
// `placed` are: "3 dos 6 arquivos estão no lugar: os da filial 0001 e, da filial
// 0002, o 500".
std::string placedText(const std::vector<WrittenFile>& placed,
                       const std::vector<WrittenFile>& files);

// Puts the file system's staged files (`staged`, in the order staged) in place,
// branch by branch, then flushes `folders`. A failed flush or close of a file
// raises Error naming the DOTZ file, with none of them in place; a failed rename,
// or a failed flush of a folder, PartlyPlaced.
void placeDay(FileSystem& fs, Day day, const std::vector<WrittenFile>& staged,
              const std::set<std::string>& folders);

// Makes the renames in the folders durable; a failed flush raises dotz::Error
// naming the folder (the files are in place all the same).
void flushFolders(FileSystem& fs, const std::set<std::string>& folders);

} // namespace dotz
