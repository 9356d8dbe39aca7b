#pragma once
// The preflight's last question: whether each day's files fit on the file
// systems they go to, in the space and inodes this user may still take. The real
// run stages a day's files beside their names and renames them only when all are
// written, so a day needs all its bytes free at once.
#include "export/plan.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dotz {

// What statvfs says of the file system that holds a folder, for a user without
// the reserved blocks (f_bavail, f_favail).
struct FreeSpace
{
    std::uint64_t id = 0;        // one per file system (st_dev)
    std::string mountPoint;      // how the messages name it
    std::uint64_t blockSize = 0; // f_frsize
    std::uint64_t blocks = 0;    // f_bavail
    std::uint64_t inodes = 0;    // f_favail
    bool countsInodes = true;    // false where there is no fixed number (f_files 0)
};

// The file system of an existing folder; throws dotz::Error naming the folder.
using SpaceProbe = std::function<FreeSpace(const std::string& folder)>;
FreeSpace probeSpace(const std::string& folder);

// Refuses each day, not already refused, that would not fit: "sem espaço para os
// arquivos de 12/03/2024 em /srv/dotz: faltam 8192 bytes (...)". Days are taken
// in order, each on top of what the days before it would leave; a folder the run
// would create counts as an inode and a block, and each file one block more than
// its size rounded up to blocks, for its name and the temporary's. A refusal that
// a retry may mend: space can be freed.
void checkFreeSpace(std::vector<DayCheck>& days, const SpaceProbe& probe = probeSpace);

} // namespace dotz
