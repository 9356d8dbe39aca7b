#pragma once
// Destination folders arrive as Windows paths; this maps them to local paths.
#include <map>
#include <string>
#include <string_view>

namespace dotz {

class PathMap {
public:
    // `local` is an absolute local folder (UTF-8). Drive letters and share names
    // match without regard to letter case, as on the system the paths come from.
    void setDrive(char letter, std::string local);
    void setShare(std::string_view unc, std::string local); // "\\server\share"
    // Reads one "[drives]" entry: key "C" (or "C:") or "\\server\share".
    void set(std::string_view key, std::string local);
    bool empty() const { return prefixes_.empty(); }

    // Maps a Windows-1252 Windows path to a local UTF-8 path: a drive "X:\..." or a
    // share "\\server\share\..." by its mapping, an absolute POSIX path as it is;
    // every "\" becomes "/". Throws dotz::Error for an unmapped drive or share, a
    // relative path, or a control character.
    std::string toLocal(std::string_view windowsPath) const;

private:
    std::map<std::string, std::string> prefixes_; // upper-cased "C:" or "\\SERVER\SHARE"
};

} // namespace dotz
