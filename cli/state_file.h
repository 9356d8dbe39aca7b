#pragma once
// The catch-up state of `dotz-export --from pending`: for each export (server,
// branch choice, 515 choice), the last day it completed. One small text file,
// replaced whole after each day; several exports may share it.
#include "base/day.h"
#include "base/error.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dotz {

struct ExportKey
{
    std::string server;   // "http://HOST:PORT" or "https://HOST:PORT"
    std::string selector; // "T" or the branch list text, Windows-1252
    bool with515 = false;
    // The other servers of the same store's list, each as `server`: a day one
    // of them has recorded is this export's too, whichever server answered.
    std::vector<std::string> sameStore = {};
};

// A state file that cannot be read as one; what() is for the operator.
class StateError : public LastingError
{
  public:
    using LastingError::LastingError;
};

class StateFile
{
  public:
    // The state of the systemd service ($STATE_DIRECTORY), else the user's.
    static std::string defaultPath();
    // Larger than any state a chain's exports make: a file past it is not ours.
    static constexpr size_t kMaxBytes = 64 * 1024;

    explicit StateFile(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    // A missing file is an empty state; a link, or anything else that is not
    // exactly what complete() writes of days before `today`, throws StateError naming the
    // file (and the line).
    void load(Day today);
    std::optional<Day> lastDay(const ExportKey& key) const;
    // Records the day and replaces the file (flushed, renamed, folder flushed);
    // a failure throws dotz::Error and leaves the file as it was.
    void complete(const ExportKey& key, Day day);

    // The file's text for the entries held; parse() reads it back.
    std::string text() const;
    void parse(std::string_view text, Day today);

  private:
    [[noreturn]] void unreadable(int err) const;

    std::string path_;
    std::map<std::string, Day> days_; // encoded key -> last day completed
};

} // namespace dotz
