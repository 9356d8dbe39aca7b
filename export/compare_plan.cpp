#include "compare_plan.h"

#include "base/branch_list.h"
#include "base/cp1252.h"
#include "base/wire_contract.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {

// A 64-bit hash over four lanes, a few bytes a cycle: only for a file that
// moved when it was named, whose first bytes were compared with another file.
class ComparingFileSystem::Hash
{
  public:
    void reset()
    {
        lanes_ = {kP1 + kP2, kP2, 0, 0 - kP1};
        total_ = 0;
        held_ = 0;
    }
    void add(const char* data, size_t size)
    {
        total_ += size;
        if (held_ > 0) {
            const size_t n = std::min(size, sizeof tail_ - held_);
            std::memcpy(tail_ + held_, data, n);
            held_ += n;
            data += n;
            size -= n;
            if (held_ < sizeof tail_)
                return;
            round(tail_);
            held_ = 0;
        }
        for (; size >= sizeof tail_; data += sizeof tail_, size -= sizeof tail_)
            round(data);
        std::memcpy(tail_, data, size);
        held_ = size;
    }
    std::uint64_t digest() const
    {
        std::uint64_t h = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) +
                          std::rotl(lanes_[2], 12) + std::rotl(lanes_[3], 18) + total_;
        for (size_t i = 0; i < held_; ++i)
            h = std::rotl(h ^ (static_cast<unsigned char>(tail_[i]) * kP3), 11) * kP1;
        h ^= h >> 33;
        h *= kP2;
        h ^= h >> 29;
        return h ^ (h >> 32);
    }

  private:
    static constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ull;
    static constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
    static constexpr std::uint64_t kP3 = 0x165667B19E3779F9ull;
    void round(const char* block)
    {
        for (size_t k = 0; k < 4; ++k) {
            std::uint64_t v;
            std::memcpy(&v, block + 8 * k, 8);
            lanes_[k] = std::rotl(lanes_[k] + v * kP2, 31) * kP1;
        }
    }
    std::array<std::uint64_t, 4> lanes_{};
    std::uint64_t total_ = 0;
    char tail_[32];
    size_t held_ = 0;
};

namespace {

constexpr size_t kBlock = size_t{1} << 20;

// Reads up to `size` bytes; fewer only at the end of the file (or on a failure).
size_t readUpTo(int fd, char* to, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, to + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

} // namespace

ComparingFileSystem::ComparingFileSystem(FileSystem& inner, bool dropEqual)
    : inner_(inner), dropEqual_(dropEqual), hash_(std::make_unique<Hash>())
{
}

ComparingFileSystem::~ComparingFileSystem()
{
    closePlaced();
}

void ComparingFileSystem::closePlaced()
{
    if (placed_ >= 0)
        ::close(placed_);
    placed_ = -1;
}

void ComparingFileSystem::openPlaced(const std::string& path)
{
    closePlaced();
    begun_ = path;
    size_ = 0;
    same_ = true;
    hash_->reset();
    placed_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    // A file that cannot be read counts as differing: a rewrite replaces it.
    missing_ = placed_ < 0 && errno == ENOENT;
    struct stat st;
    if (placed_ >= 0 && (::fstat(placed_, &st) != 0 || !S_ISREG(st.st_mode)))
        closePlaced();
    same_ = placed_ >= 0;
}

// The planned bytes against the file in place, as they come.
void ComparingFileSystem::comparePiece(std::string_view data)
{
    hash_->add(data.data(), data.size());
    size_ += data.size();
    block_.resize(kBlock);
    while (same_ && !data.empty()) {
        const size_t n = std::min(data.size(), block_.size());
        same_ = readUpTo(placed_, block_.data(), n) == n &&
                std::memcmp(block_.data(), data.data(), n) == 0;
        data.remove_prefix(n);
    }
}

InPlace ComparingFileSystem::endPlaced(const std::string& path)
{
    if (path == begun_) {
        char more;
        const InPlace state = missing_                                    ? InPlace::New
                              : same_ && readUpTo(placed_, &more, 1) == 0 ? InPlace::Equal
                                                                          : InPlace::Differs;
        closePlaced();
        return state;
    }
    // Named elsewhere than begun: the file there is hashed whole.
    closePlaced();
    const std::uint64_t planned = hash_->digest();
    const std::uint64_t size = size_;
    openPlaced(path);
    if (missing_)
        return InPlace::New;
    block_.resize(kBlock);
    std::uint64_t got = 0;
    for (size_t n; same_ && (n = readUpTo(placed_, block_.data(), block_.size())) > 0; got += n)
        hash_->add(block_.data(), n);
    const bool equal = same_ && got == size && hash_->digest() == planned;
    closePlaced();
    return equal ? InPlace::Equal : InPlace::Differs;
}

void ComparingFileSystem::stageFile(const std::string& path, std::string_view data)
{
    inner_.stageFile(path, data);
    openPlaced(path);
    comparePiece(data);
    compared(endPlaced(path), path);
}

void ComparingFileSystem::beginStaged(const std::string& path)
{
    inner_.beginStaged(path);
    openPlaced(path);
}

void ComparingFileSystem::appendStaged(std::string_view data)
{
    inner_.appendStaged(data);
    comparePiece(data);
}

void ComparingFileSystem::endStaged(const std::string& path)
{
    inner_.endStaged(path);
    compared(endPlaced(path), path);
}

void ComparingFileSystem::compared(InPlace state, const std::string& path)
{
    staged_.push_back({path, state});
    if (dropEqual_ && state == InPlace::Equal) {
        inner_.dropStaged(innerStaged_);
        innerIndex_.push_back(kDropped);
    } else {
        innerIndex_.push_back(innerStaged_++);
    }
}

void ComparingFileSystem::commitStaged(const std::vector<size_t>& order)
{
    std::vector<size_t> kept;
    for (size_t k = 0; k < innerIndex_.size(); ++k) {
        const size_t i = innerIndex_[order.empty() ? k : order[k]];
        if (i != kDropped)
            kept.push_back(i);
    }
    innerIndex_.clear();
    innerStaged_ = 0;
    inner_.commitStaged(kept);
}

void ComparingFileSystem::dropStaged(size_t keep)
{
    closePlaced();
    keep = std::min(keep, innerIndex_.size());
    innerIndex_.resize(keep);
    staged_.resize(std::min(keep, staged_.size()));
    innerStaged_ = static_cast<size_t>(std::count_if(innerIndex_.begin(), innerIndex_.end(),
                                                     [](size_t i) { return i != kDropped; }));
    inner_.dropStaged(innerStaged_);
}

std::vector<ComparedFile> ComparingFileSystem::take()
{
    return std::exchange(staged_, {});
}

std::vector<WrittenFile> filesLeftInPlace(const std::set<std::string>& folders, Day day,
                                          bool with515, std::string_view selector,
                                          const std::set<std::string>& given)
{
    std::set<std::string> chosen;
    if (selector != wire::kAllBranches)
        for (const BranchListCode& c : readBranchList(selector).codes)
            chosen.insert(c.code);
    const std::string date = day.compact();
    std::vector<WrittenFile> left;
    for (const std::string& folder : folders) {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir)
            continue;
        std::vector<std::string> names;
        while (const dirent* e = ::readdir(dir))
            names.emplace_back(e->d_name);
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::optional<NamedFile> named = readFileName(name);
            if (!named || named->date != date || (named->recordType == 515 && !with515))
                continue;
            std::string branch;
            cp1252::appendFromUtf8Replacing(named->branch, branch, '?');
            const std::string path = folder + "/" + name;
            struct stat st;
            if ((!chosen.empty() && !chosen.count(branch)) || given.count(path) ||
                ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            left.push_back({named->recordType, branch, {}, path, 0, 0});
        }
    }
    return left;
}

} // namespace dotz
