#pragma once
// The host's settings file (INI), shared with the headless command. Free of Qt.
//
//   [server]   host, port, token        the application server
//              tls = on | off, ca = FILE  HTTPS, verified against FILE (PEM)
//              call_timeout = SECONDS     the longest one call may take (3600)
//   [database] driver (sqlite | postgresql), name, host, port, user, password
//              (an SQLite name that is a relative path is taken from the file's folder)
//   [drives]   C = /srv/dotz            a Windows drive letter, \\server\share or
//                                       /folder -> local folder
//
// Keys and section names are case-insensitive, except [drives] keys, which may be
// folders; ';' or '#' starts a comment line.
#include "base/error.h"
#include "base/paths.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

class Settings
{
  public:
    // Throws SettingsError naming the file (and the line, for a malformed one).
    static Settings load(const std::string& path);
    static Settings parse(std::string_view text, const std::string& path);
    // ~/.config/krt/krt.ini (XDG_CONFIG_HOME respected).
    static std::string defaultPath();
    // The one lookup rule of every program: `given` (its --config) when not empty,
    // else $KRT_CONFIG when set, else the first of defaultPath() and
    // /etc/krt/krt.ini that exists; empty when there is none. A named file is
    // returned even when missing, so that loading it says so.
    static std::string locate(const std::string& given);
    // The files locate() looks for, in order, when nothing names one.
    static std::vector<std::string> candidates();
    // What locate() looked at, for a message that none was found.
    static std::string lookupText();

    const std::string& path() const { return path_; }
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // Every key of a section, in key order (keys lower-cased, but [drives] ones as written).
    std::map<std::string, std::string> section(std::string_view section) const;

    // [server] host: required, used unchanged.
    std::string serverHost() const;
    // [server] port: required, 1 to 65535.
    int serverPort() const { return port("server"); }
    // A section's port: required, 1 to 65535.
    int port(std::string_view section) const;
    std::string serverToken() const;
    // [server] tls: on/off (also yes/no, true/false, 1/0); off when not set.
    bool serverTls() const;
    // [server] ca: the CA file (a relative path is taken from the file's folder);
    // empty when not set: the system's store.
    std::string serverCa() const;
    // [server] call_timeout: whole seconds, 1 to 604800; 3600 when not set.
    std::chrono::seconds serverCallTimeout() const;
    // [server] max_reply_gib: the largest reply taken, whole GiB from 1 to 1024,
    // in bytes; nothing when not set.
    std::optional<std::uint64_t> serverMaxReplyBytes() const;
    // [export] look_back: days before a pending run's first day compared with
    // their files in place, 0 to 366; 0 when not set.
    int exportLookBack() const;
    // [drives], the one reading of it that every program uses.
    PathMap drives() const;
    // What a [drives] key maps, for telling two keys that name one place: a drive
    // letter ("c", "C:") or a share in upper case, a folder as written.
    static std::string driveKey(std::string_view key);

  private:
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    std::map<std::string, std::map<std::string, std::string>> sections_;
};

} // namespace dotz
