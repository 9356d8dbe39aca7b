#pragma once
// Branch configuration checks of a day's data, shared by the screen and the
// headless command.
#include "base/error.h"
#include "export_tables.h"
#include "messages.h"

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

// Each gathers every branch whose scanned rows lack the partner code (or the
// destination folder) into its working set and, when there is any, throws one
// Refusal naming them all ("PARC_N_CAD" / "DIR_N_CAD"). cdsConfigDotz is scanned
// only with the 515 file on. Scanned tables are left at their end.
void Vd_Parceiro(ExportTables& tables, bool with515, const MessageTable& messages = dotzMessages());
void Vd_Diretorio(ExportTables& tables, bool with515,
                  const MessageTable& messages = dotzMessages());

// The tills of cdsCaixa grouped by runs of branch: "001, 002 (Filial 0001),\r005 (Filial 0002)".
std::string Vd_Caixa(Table& cdsCaixa);

} // namespace dotz
