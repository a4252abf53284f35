#pragma once
// The main window: the wizard in the middle, the four menus and a tool bar
// sharing one set of commands whose availability follows the wizard, a
// status bar, and the settings kept between runs (recent images, and per
// scale the window geometry and state and the splitter positions).

#include <QHash>
#include <QSet>
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
  // A path handed over by a later start of the program: the window comes to
  // the front and opens it as OpenPath does, asking first before it leaves
  // results (the user may cancel and stay). While a scan or a save runs, or
  // a dialog is open, the path waits until the user is free to take it.
  void OpenHandedOver(const QString& path);
  // At start without a path: the snapshot used last, if it is still there.
  void OpenLastDocument();
  QAction* Command(const QString& name) const;
  // Shows the results list's and tree's context menus; tests look at them instead.
  std::function<void(QMenu&, const QPoint&)> showMenu;
  const QStringList& RecentFiles() const { return recent_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QAction* Add(const QString& name, const QString& text, const QKeySequence& keys, void (MainWindow::*slot)());
  void UpdateCommands();
  void RememberImage(const QString& path);
  void RememberSnapshot(const QString& path);
  void RestoreSettings();
  void SaveSettings();
  // The settings group of the window's layout at the scale it is shown at
  // ("Layout/2.00"): a layout kept at one scale is never applied at another.
  QString LayoutGroup() const;
  // The layout as built, forgetting the one kept for this scale.
  void OnResetLayout();
  // Sizes the window to its usual size, or smaller to fit the screen.
  void FitToScreen();
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
  void ShowFolderMenu(const QPoint& global, std::size_t node);
  void FillRecentMenu();
  void OpenRecent(const QString& path);
  void OpenPending();

  Wizard* wizard_;
  QMenu* recentMenu_ = nullptr;
  // Set while Find File(s) is open: the results list shows no context menu then.
  FindFilesDialog* findDialog_ = nullptr;
  QStringList recent_;
  // The path a later start handed over while the window could not take it yet.
  QString pending_;
  bool confirmed_ = false;
  // The splitters' orientations and the bars' state as built, for Reset
  // Layout (the sizes they were built with are their "builtSizes").
  QHash<QString, Qt::Orientation> builtOrientations_;
  QByteArray builtState_;
  // The splitters shown this run: only their layout is kept at the end, as
  // one never laid out has no sizes worth keeping.
  QSet<QString> shownSplitters_;
};

}  // namespace dravik::app
