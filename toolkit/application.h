#pragma once
// The application object: owner of the forms, the main form, the screen cursor,
// and the one place where exceptions stop before Qt's event loop.
#include "form.h"
#include "toolkit_api.h"

#include <QApplication>
#include <QPointer>

#include <memory>
#include <type_traits>

#include <QMainWindow>
class QMdiArea;

namespace dotz {

// Cursor values of the screen object.
enum TCursor : int { crDefault = 0, crHourGlass = -11 };

class DOTZ_TOOLKIT_API TScreen
{
  public:
    int Cursor() const { return cursor_; }
    // crHourGlass shows the wait cursor over the whole application; crDefault
    // takes it away again. Other values keep the cursor as it is.
    void SetCursor(int cursor);

  private:
    int cursor_ = crDefault;
    bool overridden_ = false;
};

DOTZ_TOOLKIT_API TScreen& Screen();

class DOTZ_TOOLKIT_API TApplication : public QApplication
{
    Q_OBJECT
  public:
    TApplication(int& argc, char** argv);

    // No exception crosses the event loop: an abort ends the event's action
    // silently, any other error is shown to the operator.
    bool notify(QObject* receiver, QEvent* event) override;

    QMainWindow* MainForm() const { return mainForm_; }
    void setMainForm(QMainWindow* form) { mainForm_ = form; }

    // Creates a form owned by the application: constructs it, runs its OnCreate
    // handlers and places it (an MDI child in the main form's MDI area, shown at
    // once). `reference` is filled only when all of that succeeded; on a failure
    // the half-made form is destroyed and the failure passes on.
    template <class T> void CreateForm(T*& reference)
    {
        static_assert(std::is_base_of_v<TForm, T>, "forms derive from TForm");
        std::unique_ptr<T> form(new T(nullptr));
        form->DoCreate();
        adoptForm(form.get());
        reference = form.release();
    }

  private:
    void adoptForm(TForm* form);
    QMdiArea* mdiArea() const;

    QPointer<QMainWindow> mainForm_;
};

// The running application object; throws dotz::Error when the process runs some
// other QApplication (forms and the busy animation need ours).
DOTZ_TOOLKIT_API TApplication& Application();

} // namespace dotz
