#include "compare_plan.h"

#include "base/branch_list.h"
#include "base/cp1252.h"
#include "base/wire_contract.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dotz {

// SHA-256: a difference that a weaker hash might miss would leave a file with
// sales the loyalty programme never sees.
class ComparingFileSystem::Hash
{
  public:
    using Digest = std::array<unsigned char, 32>;
    Hash() : ctx_(EVP_MD_CTX_new()) { reset(); }
    ~Hash() { EVP_MD_CTX_free(ctx_); }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    void reset()
    {
        if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1)
            throw Error("não foi possível comparar os arquivos: SHA-256 indisponível");
    }
    void add(const void* data, size_t size) { EVP_DigestUpdate(ctx_, data, size); }
    Digest digest()
    {
        Digest d{};
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx_, d.data(), &n);
        return d;
    }

  private:
    EVP_MD_CTX* ctx_;
};

namespace {

constexpr size_t kBlock = size_t{1} << 20;

// The file in place, hashed a block at a time; nothing when there is none.
// A file that cannot be read counts as differing: a rewrite replaces it.
} // namespace

InPlace ComparingFileSystem::againstPlaced(const std::string& path)
{
    const std::uint64_t size = size_;
    const Hash::Digest planned = hash_->digest();
    std::vector<char>& block = block_;
    Hash& hash = *hash_;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? InPlace::New : InPlace::Differs;
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != size)
        return InPlace::Differs;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return InPlace::Differs;
    block.resize(kBlock);
    hash.reset();
    std::uint64_t got = 0;
    for (ssize_t n; (n = ::read(fd, block.data(), block.size())) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        hash.add(block.data(), static_cast<size_t>(n));
        got += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    return got == size && hash.digest() == planned ? InPlace::Equal : InPlace::Differs;
}

ComparingFileSystem::ComparingFileSystem(FileSystem& inner, bool dropEqual)
    : inner_(inner), dropEqual_(dropEqual), hash_(std::make_unique<Hash>())
{
}

ComparingFileSystem::~ComparingFileSystem() = default;

void ComparingFileSystem::stageFile(const std::string& path, std::string_view data)
{
    inner_.stageFile(path, data);
    hash_->reset();
    hash_->add(data.data(), data.size());
    size_ = data.size();
    compared(path);
}

void ComparingFileSystem::beginStaged(const std::string& path)
{
    inner_.beginStaged(path);
    hash_->reset();
    size_ = 0;
}

void ComparingFileSystem::appendStaged(std::string_view data)
{
    inner_.appendStaged(data);
    hash_->add(data.data(), data.size());
    size_ += data.size();
}

void ComparingFileSystem::endStaged(const std::string& path)
{
    inner_.endStaged(path);
    compared(path);
}

void ComparingFileSystem::compared(const std::string& path)
{
    const InPlace state = againstPlaced(path);
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
    const std::string date = day.compact() + "_";
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
            // DATE_PARTNER_BRANCH_TYPE_1.txt
            constexpr std::string_view kEnd = "_1.txt";
            if (!name.starts_with(date) || !name.ends_with(kEnd) || name.size() < 20)
                continue;
            const std::string_view rest(name.data(), name.size() - kEnd.size());
            const std::string_view type = rest.substr(rest.size() - 3);
            if ((type != "500" && type != "510" && !(with515 && type == "515")) ||
                rest[rest.size() - 4] != '_')
                continue;
            const std::string_view head = rest.substr(0, rest.size() - 4);
            const size_t cut = head.rfind('_');
            if (cut == std::string_view::npos || cut < date.size())
                continue;
            std::string branch;
            cp1252::appendFromUtf8Replacing(head.substr(cut + 1), branch, '?');
            const std::string path = folder + "/" + name;
            struct stat st;
            if ((!chosen.empty() && !chosen.count(branch)) || given.count(path) ||
                ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            left.push_back({std::stoi(std::string(type)), branch, {}, path, 0, 0});
        }
    }
    return left;
}

} // namespace dotz
