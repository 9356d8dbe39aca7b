#include "state_file.h"

#include "base/paths.h"
#include "base/reasons.h"
#include "export/file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dotz {
namespace {

// Do not change: stored in the state files of installed exports.
constexpr std::string_view kHeader = "dotz-export-state 1";
constexpr std::string_view kComment =
    "# dotz-export --from pending: the last day each export completed. Written by dotz-export.";

// Key fields hold any byte; on disk they are printable ASCII without spaces.
std::string encode(std::string_view field)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : field) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '%') {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> decode(std::string_view field)
{
    const auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto u = static_cast<unsigned char>(field[i]);
        if (u <= 0x20 || u >= 0x7F)
            return std::nullopt;
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        if (i + 2 >= field.size())
            return std::nullopt;
        const int high = hex(field[i + 1]), low = hex(field[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string keyOf(const ExportKey& key)
{
    return encode(key.server) + " " + encode(key.selector) + " " + (key.with515 ? "515" : "no-515");
}

} // namespace

std::string StateFile::defaultPath()
{
    constexpr const char* kName = "dotz-export.state";
    // systemd may give several folders, separated by colons.
    if (const char* dirs = std::getenv("STATE_DIRECTORY"); dirs && *dirs == '/') {
        const std::string first(dirs, std::strcspn(dirs, ":"));
        return first + "/" + kName;
    }
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/krt/" + kName;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h == '/')
        home = h;
    else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    if (home.empty())
        throw Error("Não foi possível achar a pasta do usuário para o arquivo de estado; "
                    "indique-o com --state.");
    return home + "/.local/state/krt/" + kName;
}

void StateFile::load(Day today)
{
    days_.clear();
    // Not blocking on a FIFO, never following a link (a dangling one would read
    // as no state, and the rename after the first day would replace it), and
    // never more than the bound.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return;
        if (errno == ELOOP)
            throw StateError("O arquivo de estado " + path_ +
                             " é um link simbólico, que a exportação pendente não segue. Nada "
                             "foi exportado. Indique o arquivo de verdade com --state.");
        unreadable(errno);
    }
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw StateError("O arquivo de estado " + path_ + " não é um arquivo comum.");
    std::string text(kMaxBytes + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            unreadable(errno);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got > kMaxBytes)
        throw StateError("O arquivo de estado " + path_ + " passa de " +
                         std::to_string(kMaxBytes / 1024) +
                         " KiB: não é um arquivo de estado do dotz-export. Corrija-o ou "
                         "apague-o.");
    text.resize(got);
    parse(text, today);
}

void StateFile::unreadable(int err) const
{
    throw StateError("Não foi possível ler o arquivo de estado " + path_ + ": " +
                         systemReason(err) + ". Nada foi exportado.",
                     std::strerror(err));
}

void StateFile::parse(std::string_view text, Day today)
{
    days_.clear();
    size_t number = 0;
    const auto broken = [&](const std::string& why) {
        return StateError("Arquivo de estado " + path_ + " danificado (linha " +
                          std::to_string(number) + ": " + why +
                          "). Nada foi exportado. Corrija-o ou apague-o; sem ele, a exportação "
                          "pendente começa no dia de --to, e os dias anteriores se exportam à "
                          "mão com --from e --to.");
    };
    if (text.empty() || text.back() != '\n') {
        number = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        throw broken(text.empty() ? "o arquivo está vazio" : "a última linha está incompleta");
    }
    bool header = false;
    std::map<std::string, Day> days;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.starts_with('#'))
            continue;
        if (!header) {
            if (line != kHeader)
                throw broken("esperado \"" + std::string(kHeader) + "\"");
            header = true;
            continue;
        }
        // DAY SERVER SELECTOR 515|no-515, one space apart
        std::vector<std::string_view> fields;
        for (size_t from = 0;;) {
            const size_t space = line.find(' ', from);
            fields.push_back(line.substr(from, space - from));
            if (space == std::string_view::npos)
                break;
            from = space + 1;
        }
        if (fields.size() != 4)
            throw broken("esperados 4 campos separados por um espaço");
        const auto day = Day::parse(fields[0]);
        if (!day || day->iso() != fields[0])
            throw broken("\"" + std::string(fields[0].substr(0, 20)) +
                         "\" não é uma data AAAA-MM-DD");
        // Only closed days are recorded: one from today on comes from a clock that
        // ran ahead, and going on from it would skip a night.
        if (*day >= today)
            throw StateError(
                "Arquivo de estado " + path_ + ", linha " + std::to_string(number) + ": o dia " +
                day->regional() + " está registrado como exportado, mas " +
                (*day == today ? "é hoje, que ainda não terminou"
                               : "ainda não chegou; hoje é " + today.regional()) +
                ". Só dias terminados são registrados: o relógio (ou o fuso horário) estava "
                "adiantado quando a linha foi gravada, e seguir dela pularia " +
                (*day == today ? std::string("o dia de hoje") : "os dias até " + day->regional()) +
                ". Nada foi exportado. Confira a data e a hora desta máquina e ponha na linha o "
                "último dia de fato exportado, ou apague o arquivo (a exportação pendente começa "
                "então no dia de --to).");
        const auto server = decode(fields[1]);
        if (!server || !(server->starts_with("http://") || server->starts_with("https://")))
            throw broken("o servidor não está na forma http://HOST:PORTA");
        const auto selector = decode(fields[2]);
        if (!selector || selector->empty())
            throw broken("a escolha de filiais está vazia ou mal codificada");
        if (fields[3] != "515" && fields[3] != "no-515")
            throw broken("o último campo deve ser 515 ou no-515");
        const ExportKey key{*server, *selector, fields[3] == "515"};
        if (!days.emplace(keyOf(key), *day).second)
            throw broken("a mesma exportação aparece duas vezes");
    }
    if (!header)
        throw broken("falta a linha \"" + std::string(kHeader) + "\"");
    days_ = std::move(days);
}

std::optional<Day> StateFile::lastDay(const ExportKey& key) const
{
    std::optional<Day> last;
    ExportKey one = key;
    for (size_t i = 0; i <= key.sameStore.size(); ++i) {
        if (i > 0)
            one.server = key.sameStore[i - 1];
        const auto found = days_.find(keyOf(one));
        if (found != days_.end() && (!last || found->second > *last))
            last = found->second;
    }
    return last;
}

std::string StateFile::text() const
{
    std::string out = std::string(kComment) + "\n" + std::string(kHeader) + "\n";
    for (const auto& [key, day] : days_)
        out += day.iso() + " " + key + "\n";
    return out;
}

void StateFile::complete(const ExportKey& key, Day day)
{
    const std::string folder = folderOf(path_);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    auto days = days_;
    days[keyOf(key)] = day;
    std::swap(days, days_);
    try {
        PosixFileSystem fs;
        replaceDurably(fs, path_, text());
    } catch (const Error& e) {
        std::swap(days, days_);
        throw Error(std::string("Não foi possível gravar o arquivo de estado: ") + e.what());
    }
}

} // namespace dotz
