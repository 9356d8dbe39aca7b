#include "date_edit.h"

#include "error_reporter.h"
#include "form.h"

#include <QAction>
#include <QApplication>
#include <QCalendarWidget>
#include <QFocusEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace dotz {

TDateEdit::TDateEdit(QWidget* parent) : QLineEdit(parent)
{
    setInputMask(QStringLiteral("99/99/9999;_"));
    validDateColor_ = palette().color(QPalette::Text);
    glyph_ = style()->standardIcon(QStyle::SP_ArrowDown);
    dropDown_ = addAction(glyph_, QLineEdit::TrailingPosition);
    dropDown_->setObjectName(QStringLiteral("dropDown"));
    connect(dropDown_, &QAction::triggered, this, &TDateEdit::showCalendar);
    connect(this, &QLineEdit::textChanged, this, &TDateEdit::updateColors);
}

void TDateEdit::setColorRole(QPalette::ColorRole role)
{
    colorRole_ = role;
    updateColors();
}

void TDateEdit::setValidDateColor(const QColor& color)
{
    validDateColor_ = color;
    updateColors();
}

void TDateEdit::setDayNames(const QStringList& names)
{
    dayNames_ = names;
    delete popup_; // rebuilt with the new names when next opened
    popup_ = nullptr;
    calendar_ = nullptr;
}

void TDateEdit::setGlyph(const QIcon& icon)
{
    glyph_ = icon;
    dropDown_->setIcon(icon);
}

void TDateEdit::updateColors()
{
    QPalette p = palette();
    const QPalette system = QPalette();
    p.setColor(QPalette::Base, system.color(colorRole_));
    p.setColor(QPalette::Text, date() ? validDateColor_ : system.color(QPalette::Text));
    setPalette(p);
}

QString TDateEdit::Text() const
{
    QString text = displayText();
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return {};
    return text.replace(QLatin1Char('_'), QLatin1Char(' '));
}

std::optional<Day> TDateEdit::date() const
{
    return Day::parse(displayText().toStdString());
}

bool TDateEdit::HasValidDate() const
{
    return Text().isEmpty() || date().has_value();
}

double TDateEdit::DateValue() const
{
    const auto day = date();
    return day ? static_cast<double>(day->serial()) : 0.0;
}

void TDateEdit::setDate(std::optional<Day> day)
{
    if (day)
        setText(QString::fromStdString(day->regional()));
    else
        clear();
}

void TDateEdit::showCalendar()
{
    if (!popup_) {
        popup_ = new QFrame(this, Qt::Popup);
        static_cast<QFrame*>(popup_)->setFrameShape(QFrame::Box);
        auto* layout = new QVBoxLayout(popup_);
        layout->setContentsMargins(2, 2, 2, 2);
        layout->setSpacing(0);
        calendar_ = new QCalendarWidget(popup_);
        calendar_->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
        calendar_->setFirstDayOfWeek(Qt::Sunday);
        calendar_->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
        if (dayNames_.size() == 7) {
            // The calendar takes its day names from the locale; these come from the form.
            calendar_->setHorizontalHeaderFormat(QCalendarWidget::NoHorizontalHeader);
            auto* names = new QHBoxLayout;
            for (const QString& name : dayNames_) {
                auto* label = new QLabel(name.left(3), popup_);
                label->setAlignment(Qt::AlignCenter);
                names->addWidget(label, 1);
            }
            layout->addLayout(names);
        }
        layout->addWidget(calendar_);
        const auto pick = [this](QDate picked) {
            setDate(Day::fromYmd(picked.year(), picked.month(), picked.day()));
            popup_->hide();
            setFocus(Qt::PopupFocusReason);
        };
        connect(calendar_, &QCalendarWidget::clicked, this, pick);
        connect(calendar_, &QCalendarWidget::activated, this, pick);
    }
    if (const auto day = date())
        calendar_->setSelectedDate(QDate(day->year(), day->month(), day->day()));
    else
        calendar_->setSelectedDate(QDate::currentDate());
    popup_->adjustSize();
    popup_->move(mapToGlobal(rect().bottomLeft()));
    popup_->show();
    calendar_->setFocus(Qt::PopupFocusReason);
}

void TDateEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    entered_ = true;
}

namespace {

// The form a control belongs to: the nearest TForm, else its window.
QWidget* formOf(QWidget* widget)
{
    for (QWidget* w = widget; w; w = w->parentWidget())
        if (qobject_cast<TForm*>(w) || w->isWindow())
            return w;
    return nullptr;
}

// The rest of a click whose press was refused as a way out of the edit: the press
// still on its way to the clicked control, and its release when that comes before
// another press. Delivered, the press would leave the control held down (its
// release went to the message box) or act behind the refusal.
class SwallowClick : public QObject
{
  public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        const bool press = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick;
        if (state_ == Done || (!press && type != QEvent::MouseButtonRelease))
            return false;
        // Waiting for the press, eat a press; waiting for the release, a release.
        const bool eat = (state_ == Press) == press;
        if (state_ == Press && press) {
            state_ = Release;
        } else {
            state_ = Done;
            deleteLater();
        }
        return eat;
    }

  private:
    enum { Press, Release, Done } state_ = Press;
};

} // namespace

void TDateEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    // A popup (the calendar, a context menu) takes the focus only for a moment, and
    // another window becoming active leaves the focus here for when it comes back:
    // neither is the operator leaving the edit.
    if (event->reason() == Qt::PopupFocusReason || event->reason() == Qt::ActiveWindowFocusReason)
        return;
    // Nor is a focus-out the edit never had the focus for (a handler sent the focus
    // on before it arrived), the form being hidden or closed, or a move to another
    // window: only the focus going to another control of the same form is an exit.
    const bool entered = std::exchange(entered_, false);
    QWidget* next = QApplication::focusWidget();
    if (!entered || !isVisible() || !next || formOf(next) != formOf(this))
        return;
    // An exit handler refuses by aborting; the abort ends here, not inside Qt.
    try {
        Q_EMIT Exit(this);
    } catch (...) {
        reportException(std::current_exception());
        if (event->reason() == Qt::MouseFocusReason)
            qApp->installEventFilter(new SwallowClick(qApp));
    }
}

} // namespace dotz
