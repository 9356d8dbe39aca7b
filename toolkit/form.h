#pragma once
// Base class of the host's forms: creation and close events that handlers are
// bound to by name in a form's .ui description, and MDI child placement.
#include "toolkit_api.h"

#include <QPointer>
#include <QWidget>

#include <QMdiSubWindow>

namespace dotz {

// What becomes of a form that is being closed (the close handler may change it).
enum TCloseAction { caNone, caHide, caFree, caMinimize };

class DOTZ_TOOLKIT_API TForm : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(FormStyle formStyle READ formStyle WRITE setFormStyle)
    Q_PROPERTY(QPoint storedPosition READ storedPosition WRITE setStoredPosition)
  public:
    enum FormStyle { fsNormal, fsMDIChild };
    Q_ENUM(FormStyle)

    explicit TForm(QWidget* parent = nullptr);

    FormStyle formStyle() const { return formStyle_; }
    void setFormStyle(FormStyle style) { formStyle_ = style; }
    // Where the form first appears (inside the MDI area for an MDI child).
    QPoint storedPosition() const { return storedPosition_; }
    void setStoredPosition(QPoint position) { storedPosition_ = position; }

    // Fires OnCreate; TApplication::CreateForm calls it once, after construction,
    // so that overridden handlers run.
    void DoCreate();
    // Makes the form visible and brings it (and its MDI window) to the front.
    void Show();

    // The MDI window that holds the form, once the application placed it in one.
    QMdiSubWindow* mdiWindow() const { return mdiWindow_; }
    void setMdiWindow(QMdiSubWindow* window) { mdiWindow_ = window; }

  Q_SIGNALS:
    void OnCreate(QObject* Sender);
    void OnClose(QObject* Sender, TCloseAction& Action);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    FormStyle formStyle_ = fsNormal;
    QPoint storedPosition_;
    QPointer<QMdiSubWindow> mdiWindow_;
};

// Maps the forms' designed face ("MS Sans Serif", not on Linux) to the closest
// installed one. Runs once; the application object and every form call it.
DOTZ_TOOLKIT_API void installFontSubstitutes();

} // namespace dotz
