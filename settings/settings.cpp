#include "settings.h"

#include "base/error.h"
#include "base/reasons.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dotz {
namespace {

constexpr const char* kSystemPath = "/etc/krt/krt.ini";

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The whole number `text` is, when it lies in [low, high].
std::optional<long long> wholeIn(std::string_view text, long long low, long long high)
{
    long long n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (ec != std::errc() || ptr != end || n < low || n > high)
        return std::nullopt;
    return n;
}

} // namespace

std::string Settings::defaultPath()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::string(xdg) + "/krt/krt.ini";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/krt/krt.ini";
}

std::string Settings::locate(const std::string& given)
{
    if (!given.empty())
        return given;
    if (const char* env = std::getenv("KRT_CONFIG"); env && *env)
        return env;
    for (const std::string& candidate : candidates()) {
        std::error_code unreadable; // a folder we may not enter counts as no file
        if (std::filesystem::exists(candidate, unreadable))
            return candidate;
    }
    return {};
}

std::vector<std::string> Settings::candidates()
{
    return {defaultPath(), kSystemPath};
}

std::string Settings::lookupText()
{
    return "--config, $KRT_CONFIG, " + defaultPath() + ", " + kSystemPath;
}

Settings Settings::load(const std::string& path)
{
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw SettingsError("O arquivo de configurações " + path + " não pode ser lido" +
                            (errno ? ": " + systemReason(errno) : std::string()) + ".");
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), path);
}

Settings Settings::parse(std::string_view text, const std::string& path)
{
    Settings s;
    s.path_ = path;
    std::string section;
    int lineNo = 0;
    std::map<std::string, std::pair<std::string, int>> drives; // driveKey -> key, line
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNo;
        const std::string where =
            "Arquivo de configurações " + path + ", linha " + std::to_string(lineNo);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3)
                throw SettingsError(where + ": cabeçalho de seção mal formado \"" +
                                    std::string(line) + "\".");
            section = lower(trim(line.substr(1, line.size() - 2)));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || trim(line.substr(0, eq)).empty())
            throw SettingsError(where +
                                ": esperava-se \"chave = valor\" ou \"[seção]\", e veio \"" +
                                std::string(line) + "\".");
        if (section.empty())
            throw SettingsError(where + ": chave fora de qualquer [seção].");
        // A [drives] key may be a POSIX folder, whose case matters; PathMap matches
        // drive letters and share names in either case.
        const std::string key = section == "drives" ? std::string(trim(line.substr(0, eq)))
                                                    : lower(trim(line.substr(0, eq)));
        auto& keys = s.sections_[section];
        if (keys.count(key))
            throw SettingsError(where + ": [" + section + "] " + key + " aparece duas vezes.");
        // "C" and "c" are one drive: the second would silently win.
        if (section == "drives") {
            const auto [same, added] = drives.try_emplace(driveKey(key), key, lineNo);
            if (!added)
                throw SettingsError(where + ": [drives] " + key + " mapeia o mesmo lugar que " +
                                    same->second.first + ", da linha " +
                                    std::to_string(same->second.second) + ".");
        }
        keys[key] = std::string(trim(line.substr(eq + 1)));
    }
    return s;
}

std::optional<std::string> Settings::value(std::string_view section, std::string_view key) const
{
    const auto s = sections_.find(lower(section));
    if (s == sections_.end())
        return std::nullopt;
    const auto k = s->second.find(lower(key));
    if (k == s->second.end())
        return std::nullopt;
    return k->second;
}

std::map<std::string, std::string> Settings::section(std::string_view section) const
{
    const auto s = sections_.find(lower(section));
    return s == sections_.end() ? std::map<std::string, std::string>{} : s->second;
}

void Settings::fail(const std::string& what) const
{
    throw SettingsError("Arquivo de configurações " + path_ + ": " + what + ".");
}

std::string Settings::serverHost() const
{
    const auto host = value("server", "host");
    if (!host || host->empty())
        fail("[server] host não foi informado");
    return *host;
}

int Settings::port(std::string_view section) const
{
    const std::string name = "[" + lower(section) + "] port";
    const auto text = value(section, "port");
    if (!text || text->empty())
        fail(name + " não foi informado");
    const auto port = wholeIn(*text, 1, 65535);
    if (!port)
        fail(name + " \"" + *text + "\" não é um número de porta (1 a 65535)");
    return static_cast<int>(*port);
}

std::string Settings::serverToken() const
{
    return value("server", "token").value_or(std::string());
}

bool Settings::serverTls() const
{
    const std::string text = lower(value("server", "tls").value_or("off"));
    if (text == "on" || text == "yes" || text == "true" || text == "1")
        return true;
    if (text == "off" || text == "no" || text == "false" || text == "0" || text.empty())
        return false;
    fail("[server] tls \"" + text + "\" não é on nem off");
}

std::chrono::seconds Settings::serverCallTimeout() const
{
    const auto text = value("server", "call_timeout");
    if (!text)
        return std::chrono::hours(1);
    const auto seconds = wholeIn(*text, 1, 604800);
    if (!seconds)
        fail("[server] call_timeout \"" + *text +
             "\" não é um número inteiro de segundos (de 1 a 604800)");
    return std::chrono::seconds(*seconds);
}

std::optional<std::uint64_t> Settings::serverMaxReplyBytes() const
{
    const auto text = value("server", "max_reply_gib");
    if (!text)
        return std::nullopt;
    const auto gib = wholeIn(*text, 1, 1024);
    if (!gib)
        fail("[server] max_reply_gib \"" + *text +
             "\" não é um número inteiro de GiB (de 1 a 1024)");
    return static_cast<std::uint64_t>(*gib) << 30;
}

int Settings::exportLookBack() const
{
    const auto text = value("export", "look_back");
    if (!text)
        return 0;
    const auto days = wholeIn(*text, 0, 366);
    if (!days)
        fail("[export] look_back \"" + *text + "\" não é um número inteiro de dias (de 0 a 366)");
    return static_cast<int>(*days);
}

PathMap Settings::drives() const
{
    PathMap paths;
    for (const auto& [key, folder] : section("drives")) {
        try {
            paths.set(key, folder);
        } catch (const Error& e) {
            fail("[drives] " + key + ": " + e.what());
        }
    }
    return paths;
}

std::string Settings::driveKey(std::string_view key)
{
    const bool letter = (key.size() == 1 || (key.size() == 2 && key[1] == ':')) &&
                        std::isalpha(static_cast<unsigned char>(key[0]));
    if (letter)
        return {static_cast<char>(std::toupper(static_cast<unsigned char>(key[0]))), ':'};
    if (!key.starts_with("\\\\")) {
        while (key.size() > 1 && key.ends_with('/'))
            key.remove_suffix(1);
        return std::string(key);
    }
    while (key.ends_with('\\'))
        key.remove_suffix(1);
    std::string share(key);
    for (char& c : share)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return share;
}

std::string Settings::serverCa() const
{
    const std::string ca = value("server", "ca").value_or(std::string());
    if (ca.empty() || ca.front() == '/')
        return ca;
    return (std::filesystem::path(path_).parent_path() / ca).string();
}

} // namespace dotz
