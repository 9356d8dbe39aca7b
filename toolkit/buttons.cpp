#include "buttons.h"

#include "data_access.h"

namespace dotz {

TFlatButton::TFlatButton(QWidget* parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setFocusPolicy(Qt::NoFocus);
}

TLookupButton::TLookupButton(QWidget* parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setFocusPolicy(Qt::NoFocus);
}

QWidget* TLookupButton::associatedControl() const
{
    if (associate_.isEmpty() || !window())
        return nullptr;
    return window()->findChild<QWidget*>(associate_);
}

void TLookupButton::setEmptyListMessage(const QString& text)
{
    emptyListMessage_ = text;
    if (dataSource_)
        dataSource_->setEmptyListMessage(text);
}

void TLookupButton::setDataSource(TDataSource* source)
{
    dataSource_ = source;
    if (source && !emptyListMessage_.isEmpty())
        source->setEmptyListMessage(emptyListMessage_);
}

} // namespace dotz
