#pragma once
// The back office's main window: an MDI area for the screens, a menu to open them.
#include <QMainWindow>

#include <functional>

class QMdiArea;

namespace dotz {

class MainWindow : public QMainWindow
{
    Q_OBJECT
  public:
    // openDotz opens the DOTZ export screen (the module's IniProc).
    explicit MainWindow(std::function<void()> openDotz, QWidget* parent = nullptr);

    QMdiArea* mdiArea() const { return area_; }

  public Q_SLOTS:
    // Errors are shown, an abort ends silently; the window keeps running.
    void openDotzExport();

  private:
    std::function<void()> openDotz_;
    QMdiArea* area_;
};

} // namespace dotz
