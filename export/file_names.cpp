#include "file_names.h"

#include "base/cp1252.h"
#include "base/error.h"
#include "base/wire_contract.h"
#include "dotz_records.h"
#include "file_system.h"

#include <algorithm>

namespace dotz {
namespace {

std::string utf8(std::string_view s)
{
    return cp1252::toUtf8Shown(s);
}

// A piece of a file name must not name another folder; ".." inside a name leads
// nowhere and is written as it is.
bool fitsAName(std::string_view piece)
{
    return piece.find_first_of("\\/") == std::string_view::npos &&
           std::none_of(piece.begin(), piece.end(), cp1252::isControl);
}

// The columns that name a file, by packet.
struct Naming
{
    int branch;
    int partner;
    int folder;
    int type;
    const char* suffix;
};
constexpr Naming kNaming[] = {
    {},
    {dados::CDFILIAL, dados::CDINTEGRADOTZ, dados::DSDIRARQDOTZ, 500, "_500_1.txt"},
    {extra::CDFILIAL, extra::CDINTEGRADOTZ, extra::DSDIRARQDOTZ, 510, "_510_1.txt"},
    {config::CDFILIAL, config::CDINTEGRADOTZ, config::DSDIRARQDOTZ, 515, "_515_1.txt"},
};

} // namespace

std::optional<NamedFile> readFileName(std::string_view name)
{
    constexpr size_t kDate = 8;
    if (name.size() <= kDate || name[kDate] != '_')
        return std::nullopt;
    for (const Naming& c : kNaming) {
        if (!c.suffix)
            continue;
        const std::string_view suffix = c.suffix;
        if (!name.ends_with(suffix))
            continue;
        const std::string_view head = name.substr(0, name.size() - suffix.size());
        const size_t cut = head.rfind('_');
        if (cut == std::string_view::npos || cut <= kDate)
            return std::nullopt;
        return NamedFile{name.substr(0, kDate), head.substr(cut + 1), c.type};
    }
    return std::nullopt;
}

std::string whereInPacket(size_t slot, size_t row, int column)
{
    return "linha " + std::to_string(row + 1) + ", coluna " +
           wire::kPackets[slot].columns[static_cast<size_t>(column)].name;
}

std::string dayRefusal(Day day, size_t slot, std::string_view branch, const std::string& what)
{
    return "Operação bloqueada. Nenhum arquivo DOTZ de " + day.regional() +
           " foi gravado: tabela " + wire::kPackets[slot].table + ", filial " +
           (branch.empty() ? std::string("(sem código)") : utf8(branch)) + ": " + what + ".";
}

FileName nameFile(const FileNaming& n, const PathMap& paths)
{
    const Naming& c = kNaming[n.slot];
    const bool sales = n.slot == 1;
    FileName name;
    const std::string date = sales ? datePartOf(n.data) : n.day.compact();
    const auto piece = [&](int column, const char* what, std::string_view text) {
        if (name.refusal.empty() && !fitsAName(text))
            name.refusal = whereInPacket(n.slot, n.row, column) + ": " + what + " \"" + utf8(text) +
                           "\" não pode fazer parte de um nome de arquivo (contém \\, / ou um "
                           "caractere de controle)";
    };
    if (n.branch.empty())
        name.refusal = whereInPacket(n.slot, n.row, c.branch) +
                       ": o código da filial está vazio e não pode fazer parte de um nome de "
                       "arquivo";
    piece(c.branch, "o código da filial", n.branch);
    piece(c.partner, "o código do parceiro", n.partner);
    if (sales)
        piece(dados::DATA, "a data", date);
    if (!name.refusal.empty())
        return name;
    const std::string windowsDir = std::string(n.folder) + "DOTZ";
    name.windowsPath = windowsDir + "\\" + date + "_" + std::string(n.partner) + "_" +
                       std::string(n.branch) + c.suffix;
    try {
        name.localDir = paths.toLocal(windowsDir);
        name.localPath = paths.toLocal(name.windowsPath);
    } catch (const Error& e) {
        name.refusal = whereInPacket(n.slot, n.row, c.folder) + ": a pasta \"" + utf8(n.folder) +
                       "\" não pode receber arquivos DOTZ: " + e.what();
    }
    return name;
}

std::string cannotWrite(const Error& e, const std::vector<WrittenFile>& staged,
                        std::string_view current)
{
    std::string_view name = current;
    if (const auto* fileError = dynamic_cast<const FileError*>(&e))
        for (const WrittenFile& f : staged)
            if (f.localPath == fileError->path())
                name = f.windowsPath;
    return "Não foi possível gravar o arquivo DOTZ " + utf8(name) + ": " + e.what();
}

} // namespace dotz
