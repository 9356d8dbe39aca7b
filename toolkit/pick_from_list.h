#pragma once
// The pick list: a dialog over a data source's rows in which the operator ticks
// one or more rows; the chosen keys come back as one list text.
#include "toolkit_api.h"

#include <QDialog>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QTreeWidget;

namespace dotz {

class TDataSource;

// The keys of a list text (export/branch_list.h, which writes it); nullopt when
// the text is not of that form.
DOTZ_TOOLKIT_API std::optional<std::vector<std::string>> parseKeyList(std::string_view text);

class DOTZ_TOOLKIT_API TPickListDialog : public QDialog
{
    Q_OBJECT
  public:
    // Rows and columns from the source's open query; rows whose key is in
    // `chosen` start ticked. With singleChoice a new tick clears the others.
    TPickListDialog(TDataSource* source, const QString& keyField, const QString& title,
                    bool singleChoice, const std::vector<std::string>& chosen,
                    QWidget* parent = nullptr);

    int rowCount() const;
    void setChosen(int row, bool chosen);
    // The ticked rows' keys, in the rows' order (Windows-1252).
    std::vector<std::string> chosenKeys() const;

  private:
    QTreeWidget* list_;
    std::vector<std::string> keys_;
    bool singleChoice_;
};

// Opens the source's query when it is closed, and lets the operator tick rows.
// On OK, `list` receives the ticked keys as a list text ("" when none is ticked)
// and the result is true. On Cancel `list` stays as it was. With no rows, the
// source's empty-list message is shown instead and `list` stays as it was.
// keyField names a field of the query; title and list are Windows-1252.
// singleChoice false lets the operator tick several rows.
DOTZ_TOOLKIT_API bool PickFromList(TDataSource* source, std::string_view keyField,
                                   std::string_view title, bool singleChoice, std::string& list);

} // namespace dotz
