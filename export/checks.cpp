#include "checks.h"

#include "base/cp1252.h"

#include <algorithm>

namespace dotz {
namespace {

// Walks the rows through the column views: a day can bring millions of them.
void gather(Table& data, int settingColumn, int branchColumn, LackingBranches& lacking)
{
    const TextColumn setting = data.textColumn(settingColumn);
    const TextColumn branches = data.textColumn(branchColumn);
    for (size_t r = 0; r < data.rowCount(); ++r)
        if (isBlank(setting[r]))
            lacking.see(branches[r]);
    data.toEnd();
}

struct Setting
{
    int dados;
    int extra;
    int config;
};

void check(ExportTables& t, bool with515, Table& workingSet, Setting column, const char* key,
           const MessageTable& messages)
{
    LackingBranches lacking;
    gather(t.cdsDadosDotz, column.dados, dados::CDFILIAL, lacking);
    gather(t.cdsDotzExtra, column.extra, extra::CDFILIAL, lacking);
    if (with515)
        gather(t.cdsConfigDotz, column.config, config::CDFILIAL, lacking);
    if (workingSet.created())
        workingSet.empty();
    else
        workingSet.createEmpty();
    for (const std::string& code : lacking.codes())
        workingSet.appendRow({code});
    lacking.refuse(key, messages);
}

} // namespace

bool isBlank(std::string_view s)
{
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

void LackingBranches::see(std::string_view branch)
{
    if (current_ < codes_.size() && codes_[current_] == branch)
        return;
    const auto found = std::find(codes_.begin(), codes_.end(), branch);
    if (found != codes_.end()) {
        current_ = static_cast<size_t>(found - codes_.begin());
        return;
    }
    codes_.emplace(codes_.begin() + static_cast<ptrdiff_t>(current_), branch);
}

bool LackingBranches::refuses() const
{
    // Whatever the codes: a branch without a code still lacks the setting.
    return !codes_.empty();
}

void LackingBranches::refuse(const char* key, const MessageTable& messages) const
{
    if (codes_.empty())
        return;
    std::string list;
    for (const std::string& code : codes_)
        list.append(isBlank(code) ? "(sem c\xF3"
                                    "digo)"
                                  : code)
            .append(", ");
    list.resize(list.size() - 2);
    throw Refusal(formatMessage(messages.text(key), "\r" + list));
}

Refusal::Refusal(const std::string& cp1252Text)
    : LastingError(cp1252::toUtf8(cp1252Text)), cp1252_(cp1252Text)
{
}

void Vd_Parceiro(ExportTables& t, bool with515, const MessageTable& messages)
{
    check(t, with515, t.cdsFilialParc,
          {dados::CDINTEGRADOTZ, extra::CDINTEGRADOTZ, config::CDINTEGRADOTZ}, "PARC_N_CAD",
          messages);
}

void Vd_Diretorio(ExportTables& t, bool with515, const MessageTable& messages)
{
    check(t, with515, t.cdsFilialDir,
          {dados::DSDIRARQDOTZ, extra::DSDIRARQDOTZ, config::DSDIRARQDOTZ}, "DIR_N_CAD", messages);
}

std::string Vd_Caixa(Table& cdsCaixa)
{
    std::string text;
    std::string group;
    std::string branch;
    bool first = true;
    for (cdsCaixa.first(); !cdsCaixa.eof(); cdsCaixa.next()) {
        const std::string_view b = cdsCaixa.textView(caixa::CDFILIAL);
        if (!first && b != branch) {
            text += group + " (Filial " + branch + "),\r";
            group.clear();
        } else if (!first)
            group += ", "; // an empty till code takes its place in the list too
        group += cdsCaixa.textView(caixa::CDCAIXA);
        branch = b;
        first = false;
    }
    return text + group + " (Filial " + branch + ")";
}

} // namespace dotz
