#pragma once
// Flat tool buttons with a two-state glyph (normal, and the greyed twin that Qt
// draws from it when the button is disabled).
#include "data_access.h"
#include "toolkit_api.h"

#include <QPointer>
#include <QToolButton>

namespace dotz {

class DOTZ_TOOLKIT_API TFlatButton : public QToolButton
{
    Q_OBJECT
  public:
    explicit TFlatButton(QWidget* parent = nullptr);
};

// The search button beside a control: opens a pick list over a data source.
class DOTZ_TOOLKIT_API TLookupButton : public QToolButton
{
    Q_OBJECT
    Q_PROPERTY(QString associate READ associate WRITE setAssociate)
    Q_PROPERTY(QString title READ title WRITE setTitle)
    Q_PROPERTY(QString emptyListMessage READ emptyListMessage WRITE setEmptyListMessage)
  public:
    explicit TLookupButton(QWidget* parent = nullptr);

    // Object name of the control the button belongs to.
    QString associate() const { return associate_; }
    void setAssociate(const QString& name) { associate_ = name; }
    QWidget* associatedControl() const;

    QString title() const { return title_; }
    void setTitle(const QString& title) { title_ = title; }

    // Shown by the pick list when the data source has no rows; handed on to the
    // data source, which is what the pick list is given.
    QString emptyListMessage() const { return emptyListMessage_; }
    void setEmptyListMessage(const QString& text);

    TDataSource* dataSource() const { return dataSource_; }
    void setDataSource(TDataSource* source);

  private:
    QString associate_;
    QString title_;
    QString emptyListMessage_;
    QPointer<TDataSource> dataSource_;
};

} // namespace dotz
