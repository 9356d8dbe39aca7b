#pragma once
// A form's keyed texts. Entries and texts stay Windows-1252 bytes, as the module
// holds them; only what is put on screen is converted (displayText).
#include "export/messages.h"
#include "toolkit_api.h"

#include <QObject>
#include <QString>

#include <string>
#include <string_view>

namespace dotz {

class DOTZ_TOOLKIT_API TMessageTable : public QObject
{
    Q_OBJECT
  public:
    explicit TMessageTable(QObject* owner = nullptr) : QObject(owner) {}

    void setTable(MessageTable table) { table_ = std::move(table); }
    const MessageTable& table() const { return table_; }

    // The text after the first "|" of the entry with that key, "%s" left in place.
    // A missing key throws dotz::Error naming it.
    std::string MessageText(std::string_view key) const { return table_.text(key); }

  private:
    MessageTable table_;
};

// Windows-1252 text as the operator reads it. A carriage return, alone or before a
// line feed, is a line break (the texts come from a platform that wrote CR LF).
DOTZ_TOOLKIT_API QString displayText(std::string_view cp1252);

// The text of an exception for the operator: UTF-8 when it is valid UTF-8 (the
// core's and the connection's errors), otherwise Windows-1252 (module texts).
DOTZ_TOOLKIT_API QString errorText(std::string_view what);

} // namespace dotz
