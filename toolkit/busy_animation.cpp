#include "busy_animation.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QVBoxLayout>
#include <QWidget>

#include <vector>

namespace dotz {
namespace {

QString kindText(int kind)
{
    switch (kind) {
    case 0:
        return QStringLiteral("Conectando ao servidor de aplicação...");
    case 6:
        return QStringLiteral("Exportando...");
    default:
        return QStringLiteral("Aguarde...");
    }
}

// A panel in the middle of the form with the text and a running bar.
class BusyPanel : public QWidget
{
  public:
    BusyPanel(QWidget* over, const QString& text) : QWidget(over)
    {
        setObjectName(QStringLiteral("busyAnimation"));
        setAttribute(Qt::WA_StyledBackground);
        setStyleSheet(QStringLiteral("#busyAnimation { background: palette(tooltip-base);"
                                     " border: 1px solid palette(dark); }"));
        auto* layout = new QVBoxLayout(this);
        auto* label = new QLabel(text, this);
        label->setAlignment(Qt::AlignCenter);
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 0); // no known end: the bar runs
        bar->setTextVisible(false);
        layout->addWidget(label);
        layout->addWidget(bar);
        const QSize size(qMin(over->width(), 320), 70);
        setGeometry(
            QRect(QPoint((over->width() - size.width()) / 2, (over->height() - size.height()) / 2),
                  size));
        show();
        raise();
        // The thread is about to block: paint now, not when the loop comes back.
        repaint();
    }
};

struct Level
{
    QPointer<QWidget> panel;
};

std::vector<Level>& levels()
{
    static std::vector<Level> stack;
    return stack;
}

} // namespace

void ShowBusyAnimation(QWidget* form, int kind)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Level level;
    if (form) {
        // Only the innermost level shows its panel.
        for (Level& outer : levels())
            if (outer.panel)
                outer.panel->hide();
        level.panel = new BusyPanel(form, kindText(kind));
    }
    levels().push_back(level);
}

void HideBusyAnimation()
{
    if (levels().empty())
        return;
    Level level = levels().back();
    levels().pop_back();
    delete level.panel.data();
    if (!levels().empty() && levels().back().panel) {
        levels().back().panel->show();
        levels().back().panel->raise();
    }
    QApplication::restoreOverrideCursor();
}

int BusyAnimationDepth()
{
    return static_cast<int>(levels().size());
}

} // namespace dotz
