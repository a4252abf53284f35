#pragma once
// The main window: the wizard in the middle, the four menus and a tool bar
// sharing one set of commands whose availability follows the wizard, a
// status bar, and the settings kept between runs (recent images, window
// geometry and state, splitter positions).

#include <QMainWindow>
#include <QStringList>
#include <functional>

class QAction;
class QMenu;

namespace dravik::app {

class FindFilesDialog;
class Wizard;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  Wizard* wizard() const { return wizard_; }
  // A path from the command line or a drop: a snapshot or an image.
  void OpenPath(const QString& path);
  // At start without a path: the snapshot used last, if it is still there.
  void OpenLastDocument();
  QAction* Command(const QString& name) const;
  // Shows the results list's context menu; tests look at it instead.
  std::function<void(QMenu&, const QPoint&)> showMenu;
  const QStringList& RecentFiles() const { return recent_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QAction* Add(const QString& name, const QString& text, const QKeySequence& keys, void (MainWindow::*slot)());
  void UpdateCommands();
  void RememberImage(const QString& path);
  void RememberSnapshot(const QString& path);
  void RestoreSettings();
  void SaveSettings();
  void OnOpen();
  void OnRecover();
  void OnSaveAll();
  void OnSaveSnapshot();
  void OnLoadSnapshot();
  void OnExit();
  void OnIcons();
  void OnList();
  void OnDetails();
  void OnFindFiles();
  void OnFileFilters();
  void OnSettings();
  void OnDriveInformation();
  void OnHelp();
  void OnAbout();
  void ShowContextMenu(const QPoint& global);
  void FillRecentMenu();
  void OpenRecent(const QString& path);

  Wizard* wizard_;
  QMenu* recentMenu_ = nullptr;
  // Set while Find File(s) is open: the results list shows no context menu then.
  FindFilesDialog* findDialog_ = nullptr;
  QStringList recent_;
  bool confirmed_ = false;
};

}  // namespace dravik::app
