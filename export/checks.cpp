#include "checks.h"

#include "base/cp1252.h"
#include "file_names.h"

#include <algorithm>

namespace dotz {

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

void TillList::see(std::string_view branch, std::string_view till)
{
    if (!first_ && branch != branch_) {
        text_.append(group_).append(" (Filial ").append(branch_).append("),\r");
        group_.clear();
    } else if (!first_) {
        group_ += ", "; // an empty till code takes its place in the list too
    }
    group_ += till;
    branch_ = branch;
    first_ = false;
}

std::string TillList::text() const
{
    return text_ + group_ + " (Filial " + branch_ + ")";
}

void Vd_Parceiro(const DaySummary& day, const MessageTable& messages)
{
    day.lackingPartner.refuse("PARC_N_CAD", messages);
}

void Vd_Diretorio(const DaySummary& day, const MessageTable& messages)
{
    day.lackingFolder.refuse("DIR_N_CAD", messages);
}

std::string Vd_Caixa(const DaySummary& day)
{
    return day.tills ? day.tills->text() : TillList().text();
}

void PacketChecks::note(Kind kind, std::string_view branch, const std::string& what)
{
    if (!first_[kind])
        first_[kind] = dayRefusal(day_, slot_, branch, what);
}

void PacketChecks::noteSeparator(size_t k, std::string_view branch, const std::string& what)
{
    if (!separator_[k])
        separator_[k] = dayRefusal(day_, slot_, branch, what);
}

std::optional<std::string> PacketChecks::refusal() const
{
    for (const auto& first : first_)
        if (first)
            return first;
    for (const auto& s : separator_)
        if (s)
            return s;
    return std::nullopt;
}

void PacketChecks::clear()
{
    for (auto& first : first_)
        first.reset();
    for (auto& s : separator_)
        s.reset();
}

} // namespace dotz
