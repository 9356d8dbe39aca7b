#pragma once
// Destination folders arrive as Windows paths; this maps them to local paths.
#include <map>
#include <string>
#include <string_view>

namespace dotz {

class PathMap
{
  public:
    // `local` is an absolute local folder (UTF-8). Drive letters and share names
    // match without regard to letter case, as on the system the paths come from.
    void setDrive(char letter, std::string local);
    void setShare(std::string_view unc, std::string local); // "\\server\share"
    // An absolute POSIX folder that paths from the data may name ("/srv/dotz"),
    // mapped to a local folder (often itself). Matched with regard to case.
    void setFolder(std::string_view folder, std::string local);
    // Reads one "[drives]" entry: key "C" (or "C:"), "\\server\share" or "/folder".
    void set(std::string_view key, std::string local);
    bool empty() const { return prefixes_.empty() && folders_.empty(); }

    // Maps a Windows-1252 Windows path to a local UTF-8 path: a drive "X:\..." or a
    // share "\\server\share\..." by its mapping, an absolute POSIX path under a
    // mapped folder likewise; every "\" becomes "/". The path comes from data, so
    // it may not leave its mapped folder: a ".." component (between "\" or "/") or a
    // control character is refused. Throws dotz::Error (Portuguese, for the
    // operator) for those, an unmapped drive, share or folder, or a relative path.
    std::string toLocal(std::string_view windowsPath) const;

  private:
    std::map<std::string, std::string> prefixes_; // upper-cased "C:" or "\\SERVER\SHARE"
    std::map<std::string, std::string> folders_;  // "/srv/dotz", as given
};

// The folder that holds a local path: "." for a bare name, "/" at the root.
std::string folderOf(const std::string& path);

} // namespace dotz
