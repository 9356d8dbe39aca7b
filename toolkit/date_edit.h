#pragma once
// A date typed as dd/mm/yyyy behind an input mask, with a calendar drop-down in
// the edit. The edit holds whatever digits are typed, valid date or not; the form
// decides what to do about an invalid one (usually when the edit is left).
#include "base/day.h"
#include "toolkit_api.h"

#include <QIcon>
#include <QLineEdit>
#include <QPalette>
#include <QStringList>

#include <optional>

class QAction;
class QCalendarWidget;

namespace dotz {

class DOTZ_TOOLKIT_API TDateEdit : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(QPalette::ColorRole colorRole READ colorRole WRITE setColorRole)
    Q_PROPERTY(QColor validDateColor READ validDateColor WRITE setValidDateColor)
    Q_PROPERTY(bool keepTime READ keepTime WRITE setKeepTime)
    Q_PROPERTY(QStringList dayNames READ dayNames WRITE setDayNames)
    Q_PROPERTY(QIcon glyph READ glyph WRITE setGlyph)
  public:
    explicit TDateEdit(QWidget* parent = nullptr);

    // Background from a palette role (the tooltip background, for instance).
    QPalette::ColorRole colorRole() const { return colorRole_; }
    void setColorRole(QPalette::ColorRole role);
    // Text colour while the text is a valid date.
    QColor validDateColor() const { return validDateColor_; }
    void setValidDateColor(const QColor& color);
    // The value is a day either way; the setting is kept for forms that read it.
    bool keepTime() const { return keepTime_; }
    void setKeepTime(bool keep) { keepTime_ = keep; }
    // Day names from Sunday on, shown over the calendar's columns.
    QStringList dayNames() const { return dayNames_; }
    void setDayNames(const QStringList& names);
    QIcon glyph() const { return glyph_; }
    void setGlyph(const QIcon& icon);

    // The typed text with unfilled places as blanks; "" while no digit is typed.
    QString Text() const;
    // The text exactly as the edit shows it, e.g. "31/02/2024" or "1_/__/____".
    QString EditText() const { return displayText(); }
    // True for a valid dd/mm/yyyy date, and for an edit with no date typed (there
    // is nothing to correct; a missing date is the form's own check).
    bool HasValidDate() const;
    // Days since 30/12/1899, as the platform counts dates; 0 when the text is not
    // a valid date.
    double DateValue() const;
    std::optional<Day> date() const;
    void setDate(std::optional<Day> day);

    // Opens the calendar under the edit (the drop-down button does this too).
    void showCalendar();
    QCalendarWidget* calendar() const { return calendar_; }

  Q_SIGNALS:
    // The focus moved from the edit to another control of its form (not to its
    // calendar, nor away with the whole window, nor with the form closing).
    void Exit(QObject* Sender);

  protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void updateColors();

    QPalette::ColorRole colorRole_ = QPalette::Base;
    QColor validDateColor_;
    bool keepTime_ = false;
    QStringList dayNames_;
    QIcon glyph_;
    QAction* dropDown_;
    QWidget* popup_ = nullptr;
    QCalendarWidget* calendar_ = nullptr;
    bool entered_ = false; // the focus came in, and has not left for another control
};

} // namespace dotz
