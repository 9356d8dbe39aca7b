#pragma once
// Where a DOTZ file goes, and the words that refuse a day's file: the pieces
// of a file's name come from the data, so each is checked before it names one.
#include "base/day.h"
#include "base/error.h"
#include "base/paths.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// One file's name, from the values of the last row of its branch's run.
struct FileNaming
{
    size_t slot; // the packet: 1 sales (500), 2 items (510), 3 products (515)
    size_t row;  // the row (from 0) whose values name the file
    Day day;
    std::string_view branch, partner, folder;
    std::string_view data; // sales only: DATA, which dates the file
};

struct FileName
{
    std::string windowsPath; // as the folder setting names it, Windows-1252
    std::string localDir;    // the "DOTZ" folder, UTF-8
    std::string localPath;
    std::string refusal; // why the values name no file; the rest is then not set
};

FileName nameFile(const FileNaming& n, const PathMap& paths);

// What the name of a DOTZ file in its folder says, read back:
// "DATE_PARTNER_BRANCH_TYPE_1.txt"; nothing for a name of another form.
struct NamedFile
{
    std::string_view date;   // as the name holds it, 8 characters
    std::string_view branch; // the last piece before the type, as the name holds it
    int recordType;          // 500, 510, 515
};
std::optional<NamedFile> readFileName(std::string_view name);

struct WrittenFile
{
    int recordType;          // 500, 510, 515
    std::string branch;      // CDFILIAL, Windows-1252
    std::string windowsPath; // as the DOTZ folder setting names it, Windows-1252
    std::string localPath;   // UTF-8
    size_t records;
    size_t bytes;
};

// A failed write (`e`) in the operator's words, naming the DOTZ file as the data
// names it: an earlier file of `staged` when its flush or rename failed, else
// `current`, the one being written.
std::string cannotWrite(const Error& e, const std::vector<WrittenFile>& staged,
                        std::string_view current);

// "linha N, coluna C": where a value of packet `slot` lies (row from 0).
std::string whereInPacket(size_t slot, size_t row, int column);

// The refusal of the whole day over a file of packet `slot` and `branch`.
std::string dayRefusal(Day day, size_t slot, std::string_view branch, const std::string& what);

} // namespace dotz
