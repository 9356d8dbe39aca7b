#pragma once
// Writing a day's DOTZ files: records 500 (sales with points), 510 (items with
// extra points) and 515 (promotion products), one file per branch and type.
#include "day.h"
#include "export_tables.h"
#include "file_system.h"
#include "paths.h"

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// Lines of the file being built, each ended by CR LF, in Windows-1252. Lines are
// written in place: reserve room for one, fill it, commit its end.
class LineList
{
  public:
    char* reserveLine(size_t maxBytes)
    {
        if (size_ + maxBytes + 2 > capacity_)
            grow(size_ + maxBytes + 2);
        return buffer_.get() + size_;
    }
    void commitLine(char* end)
    {
        *end++ = '\r';
        *end++ = '\n';
        size_ = static_cast<size_t>(end - buffer_.get());
        ++count_;
    }
    std::string_view text() const { return {buffer_.get(), size_}; }
    size_t count() const { return count_; }
    bool empty() const { return count_ == 0; }
    void clear()
    {
        size_ = 0;
        count_ = 0;
    }

  private:
    void grow(size_t atLeast);
    std::unique_ptr<char[]> buffer_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t count_ = 0;
};

struct WrittenFile
{
    int recordType;          // 500, 510, 515
    std::string branch;      // CDFILIAL, Windows-1252
    std::string windowsPath; // as the DOTZ folder setting names it, Windows-1252
    std::string localPath;   // UTF-8
    size_t records;
    size_t bytes;
};

struct DayResult
{
    std::vector<WrittenFile> files;
};

// A large day's 500 files staged (written and flushed beside their names, not in
// place) from cdsDadosDotz alone, so that they are written while the day's later
// packets still load. Only a file system that holds staged files takes them.
struct StagedAhead
{
    std::vector<WrittenFile> files;
    std::vector<std::string> newFolders; // made for them; removed again if dropped
};
// Any fault drops what it staged: the day's writing meets it again in its turn.
StagedAhead stageSalesAhead(const Table& sales, Day day, LineList& lines, const PathMap& paths,
                            FileSystem& fs);
// Drops the staged files (and the folders made for them, when empty).
void dropAhead(FileSystem& fs, StagedAhead& ahead);

// Writes the day's files. Before writing any file it checks every data set it is
// about to write (branch rows together, file-name pieces, field separators,
// destination paths) and refuses the whole day with dotz::Error naming the data
// set and branch. A failed write raises dotz::Error naming the file; files
// written before it stay. `lines` is empty on entry and on return. Sale files in
// `ahead` go in place with the others (and are taken from it); a refused day
// drops them.
DayResult GravaArquivosDotz(const ExportTables& tables, Day day, bool with515, LineList& lines,
                            const PathMap& paths, FileSystem& fs, StagedAhead* ahead = nullptr);

// Commits the file system's staged files; a failure names the DOTZ file as
// `staged` (the files written since the last commit) names it.
void putInPlace(FileSystem& fs, const std::vector<WrittenFile>& staged);

// Makes the renames in the folders durable; a failed flush raises dotz::Error
// naming the folder (the files are in place all the same).
void flushFolders(FileSystem& fs, const std::set<std::string>& folders);

// Record formats, exposed for tests and tools.
char* putCustomerId(char* out, std::string_view id);
std::string datePartOf(std::string_view data); // characters 1-4, 6-7, 9-10

} // namespace dotz
