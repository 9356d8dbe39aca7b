#include "paths.h"

#include "cp1252.h"
#include "error.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

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

std::string quoted(std::string_view windowsPath)
{
    return "\"" + cp1252::toUtf8Shown(windowsPath) + "\"";
}

// A ".." component, between "\" or "/" as Windows splits a path.
bool hasParentStep(std::string_view path)
{
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find_first_of("\\/", start), path.size());
        if (path.substr(start, end - start) == "..")
            return true;
        start = end + 1;
    }
    return false;
}

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

void PathMap::setFolder(std::string_view folder, std::string local)
{
    folders_[withoutTrailingSlash(std::string(folder))] = withoutTrailingSlash(std::move(local));
}

void PathMap::set(std::string_view key, std::string local)
{
    if (local.empty() || local.front() != '/')
        throw Error("mapeamento de " + std::string(key) + ": \"" + local +
                    "\" não é uma pasta local absoluta");
    const bool drive = (key.size() == 1 || (key.size() == 2 && key[1] == ':')) &&
                       std::isalpha(static_cast<unsigned char>(key[0]));
    if (drive)
        setDrive(key[0], std::move(local));
    else if (key.starts_with("\\\\") && key.find('\\', 2) != std::string_view::npos)
        setShare(key, std::move(local));
    else if (key.starts_with('/') && !hasParentStep(key))
        setFolder(key, std::move(local));
    else
        throw Error("mapeamento: \"" + std::string(key) +
                    "\" não é uma letra de drive, um nome \\\\servidor\\compartilhamento nem uma "
                    "pasta absoluta");
}

std::string PathMap::toLocal(std::string_view path) const
{
    if (std::any_of(path.begin(), path.end(), cp1252::isControl))
        throw Error("o caminho " + quoted(path) + " contém um caractere de controle");
    if (hasParentStep(path))
        throw Error("o caminho " + quoted(path) +
                    " contém \"..\", que levaria para fora da pasta mapeada");
    std::string prefix;
    std::string_view rest;
    if (path.starts_with('/')) {
        // The longest mapped folder that holds the path.
        size_t matched = 0;
        for (const auto& [folder, local] : folders_) {
            const size_t n = folder == "/" ? 0 : folder.size();
            if (path.substr(0, n) == std::string_view(folder).substr(0, n) &&
                (path.size() == n || path[n] == '/' || path[n] == '\\') &&
                (prefix.empty() || n >= matched)) {
                prefix = local;
                matched = n;
            }
        }
        if (prefix.empty())
            throw Error("o caminho " + quoted(path) +
                        " não está numa pasta mapeada (configuração [drives], por exemplo "
                        "/srv/dotz = /srv/dotz)");
        rest = path.substr(matched);
    } else if (path.size() >= 2 && path[1] == ':' &&
               std::isalpha(static_cast<unsigned char>(path[0]))) {
        if (path.size() == 2 || path[2] != '\\')
            throw Error("o caminho " + quoted(path) + " é relativo à pasta corrente do drive " +
                        std::string(path.substr(0, 2)));
        const auto it = prefixes_.find(upper(path.substr(0, 2)));
        if (it == prefixes_.end())
            throw Error("o drive " + upper(path.substr(0, 2)) + " do caminho " + quoted(path) +
                        " não está mapeado para uma pasta local (configuração [drives] " +
                        upper(path.substr(0, 1)) + "=/pasta/local)");
        prefix = it->second;
        rest = path.substr(2);
    } else if (path.starts_with("\\\\")) {
        const size_t server = path.find('\\', 2);
        size_t share = server == std::string_view::npos ? server : path.find('\\', server + 1);
        if (server == std::string_view::npos || server == 2 || share == server + 1)
            throw Error("o caminho " + quoted(path) +
                        " não é um caminho \\\\servidor\\compartilhamento completo");
        if (share == std::string_view::npos)
            share = path.size();
        const auto it = prefixes_.find(upper(path.substr(0, share)));
        if (it == prefixes_.end())
            throw Error("o compartilhamento " + cp1252::toUtf8Shown(path.substr(0, share)) +
                        " do caminho " + quoted(path) + " não está mapeado para uma pasta local");
        prefix = it->second;
        rest = path.substr(share);
    } else {
        throw Error("o caminho " + quoted(path) +
                    " não é absoluto: precisa de um drive (C:\\...), um compartilhamento "
                    "(\\\\servidor\\compartilhamento\\...) ou de uma / no início");
    }
    std::string local = prefix == "/" ? std::string() : prefix;
    local += cp1252::toUtf8(rest);
    std::replace(local.begin() + static_cast<ptrdiff_t>(prefix == "/" ? 0 : prefix.size()),
                 local.end(), '\\', '/');
    if (local.empty())
        local = "/";
    // Whatever the text held, the result must lie in the mapped folder.
    const std::string base = withoutTrailingSlash(std::filesystem::path(prefix).lexically_normal());
    const std::string normal = std::filesystem::path(local).lexically_normal();
    if (base != "/" && normal != base && !normal.starts_with(base + "/"))
        throw Error("o caminho " + quoted(path) + " levaria para fora da pasta mapeada " + prefix);
    return local;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace dotz
