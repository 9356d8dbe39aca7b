#include "paths.h"

#include "cp1252.h"
#include "error.h"

#include <algorithm>
#include <cctype>

namespace dotz {
namespace {

std::string upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string quoted(std::string_view windowsPath) { return "\"" + cp1252::toUtf8(windowsPath) + "\""; }

std::string withoutTrailingSlash(std::string s)
{
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

} // namespace

void PathMap::setDrive(char letter, std::string local)
{
    prefixes_[upper(std::string(1, letter) + ":")] = withoutTrailingSlash(std::move(local));
}

void PathMap::setShare(std::string_view unc, std::string local)
{
    std::string key(unc);
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    prefixes_[upper(key)] = withoutTrailingSlash(std::move(local));
}

void PathMap::set(std::string_view key, std::string local)
{
    if (local.empty() || local.front() != '/')
        throw Error("drive mapping " + std::string(key) + ": \"" + local +
                    "\" is not an absolute local folder");
    const bool drive = (key.size() == 1 || (key.size() == 2 && key[1] == ':')) &&
                       std::isalpha(static_cast<unsigned char>(key[0]));
    if (drive)
        setDrive(key[0], std::move(local));
    else if (key.starts_with("\\\\") && key.find('\\', 2) != std::string_view::npos)
        setShare(key, std::move(local));
    else
        throw Error("drive mapping: \"" + std::string(key) +
                    "\" is neither a drive letter nor a \\\\server\\share name");
}

std::string PathMap::toLocal(std::string_view path) const
{
    if (std::any_of(path.begin(), path.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        throw Error("path " + quoted(path) + " holds a control character");
    std::string prefix;
    std::string_view rest;
    if (path.starts_with('/')) {
        rest = path;
    } else if (path.size() >= 2 && path[1] == ':' &&
               std::isalpha(static_cast<unsigned char>(path[0]))) {
        if (path.size() == 2 || path[2] != '\\')
            throw Error("path " + quoted(path) + " is relative to the current folder of drive " +
                        std::string(path.substr(0, 2)));
        const auto it = prefixes_.find(upper(path.substr(0, 2)));
        if (it == prefixes_.end())
            throw Error("drive " + upper(path.substr(0, 2)) + " of path " + quoted(path) +
                        " is not mapped to a local folder (setting [drives] " +
                        upper(path.substr(0, 1)) + "=/local/folder)");
        prefix = it->second;
        rest = path.substr(2);
    } else if (path.starts_with("\\\\")) {
        const size_t server = path.find('\\', 2);
        size_t share = server == std::string_view::npos ? server : path.find('\\', server + 1);
        if (server == std::string_view::npos || server == 2 || share == server + 1)
            throw Error("path " + quoted(path) + " is not a complete \\\\server\\share path");
        if (share == std::string_view::npos)
            share = path.size();
        const auto it = prefixes_.find(upper(path.substr(0, share)));
        if (it == prefixes_.end())
            throw Error("share " + cp1252::toUtf8(path.substr(0, share)) + " of path " +
                        quoted(path) + " is not mapped to a local folder");
        prefix = it->second;
        rest = path.substr(share);
    } else {
        throw Error("path " + quoted(path) +
                    " is not absolute: it needs a drive (C:\\...), a share (\\\\server\\share\\...) "
                    "or a leading /");
    }
    std::string local = prefix == "/" ? std::string() : prefix;
    local += cp1252::toUtf8(rest);
    std::replace(local.begin() + static_cast<ptrdiff_t>(prefix == "/" ? 0 : prefix.size()),
                 local.end(), '\\', '/');
    return local.empty() ? "/" : local;
}

} // namespace dotz
