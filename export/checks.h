#pragma once
// The checks of a day's rows: the branch settings (Vd_Parceiro, Vd_Diretorio)
// over what the day's packets left summed up per branch, the till list
// (Vd_Caixa), and each packet's own checks of what reaches a file.
#include "base/day.h"
#include "base/error.h"
#include "messages.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

// A refusal the operator reads: a text of the message table (with its values
// filled in), shown once, after which the action ends. what() is UTF-8.
class Refusal : public LastingError
{
  public:
    explicit Refusal(const std::string& cp1252Text);
    const std::string& cp1252() const { return cp1252_; }

  private:
    std::string cp1252_;
};

// Every character up to the space counts as blank: the one rule of the core and
// the toolkit (IsBlank).
bool isBlank(std::string_view text);

// The branches found lacking a setting, in the order that a working set holds
// them when each is looked up with Find and, when not there, added with Insert:
// a new code goes in before the one found or added last.
class LackingBranches
{
  public:
    void see(std::string_view branch);
    const std::vector<std::string>& codes() const { return codes_; }
    // Whether refuse() refuses.
    bool refuses() const;
    // The Refusal of `key` naming them ("PARC_N_CAD" / "DIR_N_CAD"), when there
    // is any; a blank code shows as "(sem código)".
    void refuse(const char* key, const MessageTable& messages) const;

  private:
    std::vector<std::string> codes_;
    size_t current_ = 0;
};

// The tills grouped by runs of branch, as the rows go by:
// "001, 002 (Filial 0001),\r005 (Filial 0002)".
class TillList
{
  public:
    void see(std::string_view branch, std::string_view till);
    std::string text() const;

  private:
    std::string text_, group_, branch_;
    bool first_ = true;
};

// What the branch checks need of a day, summed up as its rows go by.
struct DaySummary
{
    LackingBranches lackingPartner; // the codes of cdsFilialParc
    LackingBranches lackingFolder;  // of cdsFilialDir
    std::optional<TillList> tills;  // of cdsCaixa, when kept
    bool doomed = false;            // a check already fails: nothing more is written
};

// Each throws one Refusal naming every branch of the day whose rows lack the
// partner code ("PARC_N_CAD") or the destination folder ("DIR_N_CAD"); the
// promotion products count only with the 515 file on.
void Vd_Parceiro(const DaySummary& day, const MessageTable& messages = dotzMessages());
void Vd_Diretorio(const DaySummary& day, const MessageTable& messages = dotzMessages());
// The day's till list; " (Filial )" when the tills were not kept or there were none.
std::string Vd_Caixa(const DaySummary& day);

// A packet's own checks of what reaches its files, the first fault of each
// kind; refusal() is the first that fails, in the order the writer checks them.
class PacketChecks
{
  public:
    PacketChecks(Day day, size_t slot, size_t recordColumns)
        : day_(day), slot_(slot), separator_(recordColumns)
    {
    }
    enum Kind { Apart, Fault, Naming };
    // Keeps the first fault of `kind` (or of record column `separatorColumn`)
    // for the day's refusal, naming the branch.
    void note(Kind kind, std::string_view branch, const std::string& what);
    void noteSeparator(size_t k, std::string_view branch, const std::string& what);
    bool has(Kind kind) const { return first_[kind].has_value(); }
    bool hasSeparator(size_t k) const { return separator_[k].has_value(); }
    std::optional<std::string> refusal() const;
    void clear();

  private:
    Day day_;
    size_t slot_;
    std::optional<std::string> first_[3];
    std::vector<std::optional<std::string>> separator_;
};

} // namespace dotz
