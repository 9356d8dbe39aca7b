#pragma once
// A day's files set against the files already in their place: each staged
// file's bytes are compared, as the writer produces them, with the file in
// place under the name it was begun with, read a block at a time beside them.
// Memory stays that of the writer's: nothing of the day is held. A file named
// in the end elsewhere than begun (its run's last row names another folder or
// date) is set against the file there by its size and a 64-bit hash.
#include "file_names.h"
#include "file_system.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// How a file the day gives stands against the file in its place.
enum class InPlace { Equal, Differs, New };

struct ComparedFile
{
    std::string localPath;
    InPlace state = InPlace::New;
};

// Passes every call on to `inner` and compares each file staged there with the
// file in place. With dropEqual, a file equal to the one in place is dropped
// from `inner` as soon as it is named: committing then replaces only the files
// that differ or are new, and never removes one.
class ComparingFileSystem : public FileSystem
{
  public:
    explicit ComparingFileSystem(FileSystem& inner, bool dropEqual = false);
    ~ComparingFileSystem() override;
    ComparingFileSystem(const ComparingFileSystem&) = delete;
    ComparingFileSystem& operator=(const ComparingFileSystem&) = delete;

    bool isDirectory(const std::string& path) override { return inner_.isDirectory(path); }
    void createDirectory(const std::string& path) override { inner_.createDirectory(path); }
    void replaceFile(const std::string& path, std::string_view data) override
    {
        inner_.replaceFile(path, data);
    }
    void syncDirectory(const std::string& path) override { inner_.syncDirectory(path); }
    void syncDirectories(const std::set<std::string>& folders) override
    {
        inner_.syncDirectories(folders);
    }
    void removeDirectory(const std::string& path) override { inner_.removeDirectory(path); }
    void sweepFolder(const std::string& folder) override { inner_.sweepFolder(folder); }
    void stageFile(const std::string& path, std::string_view data) override;
    void beginStaged(const std::string& path) override;
    void appendStaged(std::string_view data) override;
    void endStaged(const std::string& path) override;
    void commitStaged(const std::vector<size_t>& order = {}) override;
    void dropStaged(size_t keep = 0) override;

    // The files staged since the last call, in the order staged, each with its
    // comparison; those a drop removed are not among them.
    std::vector<ComparedFile> take();

  private:
    class Hash;
    void openPlaced(const std::string& path);
    void closePlaced();
    void comparePiece(std::string_view data);
    InPlace endPlaced(const std::string& path);
    void compared(InPlace state, const std::string& path);

    FileSystem& inner_;
    bool dropEqual_;
    std::unique_ptr<Hash> hash_; // of the planned bytes, for a file named elsewhere than begun
    // The file in place at the name the staged file was begun under.
    std::string begun_;
    int placed_ = -1;
    bool missing_ = false;
    bool same_ = false; // its bytes so far are the planned ones
    std::uint64_t size_ = 0;
    std::vector<ComparedFile> staged_;
    std::vector<size_t> innerIndex_; // of each staged file in inner_; kDropped when dropped
    size_t innerStaged_ = 0;
    std::vector<char> block_; // a piece of the file in place
    static constexpr size_t kDropped = ~size_t{0};
};

// The DOTZ files of `day` that lie in `folders` (record types 500 and 510, and
// 515 with `with515`; of the branches of `selector`, a branch list text, unless
// it is all of them) but are not among `given`: what the day no longer gives.
// recordType, branch and localPath are set.
std::vector<WrittenFile> filesLeftInPlace(const std::set<std::string>& folders, Day day,
                                          bool with515, std::string_view selector,
                                          const std::set<std::string>& given);

} // namespace dotz
