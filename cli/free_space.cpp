#include "free_space.h"

#include "base/error.h"
#include "base/paths.h"
#include "base/reasons.h"

#include <cerrno>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace dotz {
namespace {

bool isFolder(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::int64_t roundUp(std::uint64_t bytes, std::uint64_t block)
{
    return static_cast<std::int64_t>(block == 0 ? bytes : (bytes + block - 1) / block * block);
}

// A file system's size can pass what 64 bits of bytes hold; none of ours will.
std::uint64_t times(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::uint64_t>::max()
                                                  : product;
}

// The outermost folder above `folder` still on its file system, as the path
// names it (links are not followed): where the operator frees space.
std::string mountOf(const std::string& folder, dev_t dev)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path path = fs::absolute(folder, ec).lexically_normal();
    if (ec)
        return folder;
    if (path.filename().empty() && path.has_relative_path())
        path = path.parent_path(); // a closing slash
    while (path.has_relative_path()) {
        const fs::path parent = path.parent_path();
        struct stat st;
        if (::stat(parent.c_str(), &st) != 0 || st.st_dev != dev)
            break;
        path = parent;
    }
    return path.string();
}

struct Use
{
    std::int64_t bytes = 0;
    std::int64_t inodes = 0;
};

// "faltam 4096 bytes (há 8192 livres; o dia precisa de 12288 de uma vez)"
std::string lacking(std::int64_t missing, const char* one, const char* many, std::uint64_t free,
                    std::int64_t before, std::int64_t day, bool atOnce)
{
    std::string text = std::string(missing == 1 ? "falta 1 " : "faltam ") +
                       (missing == 1 ? one : std::to_string(missing) + " " + many) + " (há " +
                       std::to_string(free) + (free == 1 ? " livre" : " livres");
    if (before > 0)
        text += ", e os dias anteriores do período ocupariam " + std::to_string(before);
    return text + "; o dia precisa de " + std::to_string(day) + (atOnce ? " de uma vez)" : ")");
}

} // namespace

FreeSpace probeSpace(const std::string& folder)
{
    struct stat st;
    struct statvfs vfs;
    if (::stat(folder.c_str(), &st) != 0 || ::statvfs(folder.c_str(), &vfs) != 0)
        throw Error("não foi possível ver o espaço livre em " + folder + ": " +
                    systemReason(errno));
    FreeSpace space;
    space.id = st.st_dev;
    space.mountPoint = mountOf(folder, st.st_dev);
    space.blockSize = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    space.blocks = vfs.f_bavail;
    space.inodes = vfs.f_favail;
    space.countsInodes = vfs.f_files != 0;
    return space;
}

void checkFreeSpace(std::vector<DayCheck>& days, const SpaceProbe& probe)
{
    std::map<std::string, FreeSpace> probed; // existing folder -> its file system
    std::map<std::uint64_t, Use> used;       // what the days before leave there
    std::set<std::string> made;              // folders the days before create
    for (DayCheck& d : days) {
        if (d.refused)
            continue; // the run stops there: it leaves nothing
        // Per file system: what stays, what is only needed while the files are
        // staged, and what the files they replace free once renamed over.
        std::map<std::uint64_t, Use> stays, staged, freed;
        std::map<std::uint64_t, const FreeSpace*> where;
        std::set<std::string> creates;
        try {
            for (const WrittenFile& f : d.files) {
                std::string folder = folderOf(f.localPath);
                std::vector<std::string> missing;
                while (!isFolder(folder) && folderOf(folder) != folder) {
                    if (!made.count(folder))
                        missing.push_back(folder);
                    folder = folderOf(folder);
                }
                auto it = probed.find(folder);
                if (it == probed.end())
                    it = probed.emplace(folder, probe(folder)).first;
                const FreeSpace& fs = it->second;
                where[fs.id] = &fs;
                const auto block = static_cast<std::int64_t>(fs.blockSize);
                Use& s = stays[fs.id];
                s.bytes += roundUp(f.bytes, fs.blockSize);
                s.inodes += 1;
                staged[fs.id].bytes += block;
                for (const std::string& m : missing)
                    if (creates.insert(m).second) {
                        s.bytes += block;
                        s.inodes += 1;
                    }
                struct stat old;
                if (::lstat(f.localPath.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
                    freed[fs.id].bytes +=
                        roundUp(static_cast<std::uint64_t>(old.st_size), fs.blockSize);
                    freed[fs.id].inodes += 1;
                }
            }
        } catch (const Error& e) {
            d.refused = true;
            d.refusal = e.what();
            continue;
        }
        std::string lacks;
        for (const auto& [id, s] : stays) {
            const FreeSpace& fs = *where[id];
            const Use& before = used[id];
            const std::int64_t bytes = s.bytes + staged[id].bytes;
            const std::uint64_t free = times(fs.blocks, fs.blockSize);
            std::string here;
            if (const std::int64_t peak = before.bytes + bytes;
                peak > 0 && static_cast<std::uint64_t>(peak) > free)
                here = lacking(peak - static_cast<std::int64_t>(free), "byte", "bytes", free,
                               before.bytes, bytes, true);
            if (const std::int64_t peak = before.inodes + s.inodes;
                fs.countsInodes && peak > 0 && static_cast<std::uint64_t>(peak) > fs.inodes)
                here += (here.empty() ? "" : " e ") +
                        lacking(peak - static_cast<std::int64_t>(fs.inodes), "inode", "inodes",
                                fs.inodes, before.inodes, s.inodes, false);
            if (!here.empty())
                lacks += (lacks.empty() ? "" : "; ") + ("em " + fs.mountPoint + ": " + here);
        }
        if (!lacks.empty()) {
            d.refused = true;
            d.refusal = "sem espaço para os arquivos de " + d.day.regional() + " " + lacks + ".";
            continue;
        }
        made.insert(creates.begin(), creates.end());
        for (const auto& [id, s] : stays) {
            used[id].bytes += s.bytes - freed[id].bytes;
            used[id].inodes += s.inodes - freed[id].inodes;
        }
    }
}

} // namespace dotz
