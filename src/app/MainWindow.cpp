#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <utility>

#include "app/AppTexts.h"
#include "app/DriveInformationDialog.h"
#include "app/FocusStyle.h"
#include "app/RecoverySettingsDialog.h"
#include "app/ScreenFit.h"
#include "app/search/FileFiltersDialog.h"
#include "app/search/FindFilesDialog.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/SaveController.h"
#include "app/wizard/SnapshotController.h"
#include "app/wizard/Wizard.h"
#include "disk/DriveInfo.h"
#include "session/DriveInformation.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {

namespace {

constexpr int kRecentFiles = 4;

bool IsImage(const QString& path) {
  const QString suffix = QFileInfo(path).suffix().toLower();
  for (const char* known : {"vhd", "vhdx", "avhd", "avhdx", "img", "raw", "dd"})
    if (suffix == QLatin1String(known)) return true;
  return false;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  UseFocusStyle();
  setWindowTitle(AppTexts::kProduct);
  setAcceptDrops(true);
  wizard_ = new Wizard(this);
  showMenu = [](QMenu& menu, const QPoint& at) { menu.exec(at); };
  setCentralWidget(wizard_);

  QMenu* recovery = menuBar()->addMenu(tr("&Recovery"));
  recovery->addAction(Add("open", tr("&Open"), QKeySequence::Open, &MainWindow::OnOpen));
  recovery->addAction(Add("recover", tr("&Recover Selected..."), QKeySequence(Qt::CTRL | Qt::Key_R), &MainWindow::OnRecover));
  recovery->addAction(Add("saveAll", tr("Save All"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), &MainWindow::OnSaveAll));
  recovery->addSeparator();
  recovery->addAction(Add("saveSnapshot", tr("&Save Recovery Snapshot..."), QKeySequence::Save, &MainWindow::OnSaveSnapshot));
  recovery->addAction(Add("loadSnapshot", tr("&Load Recovery Snapshot..."), QKeySequence(Qt::CTRL | Qt::Key_L), &MainWindow::OnLoadSnapshot));
  recovery->addSeparator();
  recentMenu_ = recovery->addMenu(tr("Recent &Files"));
  recovery->addSeparator();
  recovery->addAction(Add("exit", tr("E&xit..."), QKeySequence::Quit, &MainWindow::OnExit));
  QMenu* view = menuBar()->addMenu(tr("&View"));
  view->addAction(Add("icons", tr("&Icons"), QKeySequence(Qt::CTRL | Qt::Key_1), &MainWindow::OnIcons));
  view->addAction(Add("list", tr("&List"), QKeySequence(Qt::CTRL | Qt::Key_2), &MainWindow::OnList));
  view->addAction(Add("details", tr("&Details"), QKeySequence(Qt::CTRL | Qt::Key_3), &MainWindow::OnDetails));
  view->addSeparator();
  view->addAction(Add("resetLayout", tr("&Reset Layout"), QKeySequence(), &MainWindow::OnResetLayout));
  QMenu* tools = menuBar()->addMenu(tr("&Tools"));
  tools->addAction(Add("findFiles", tr("&Find Files"), QKeySequence::Find, &MainWindow::OnFindFiles));
  tools->addAction(Add("fileFilters", tr("File Fi&lters"), QKeySequence(), &MainWindow::OnFileFilters));
  tools->addAction(Add("settings", tr("&Settings"), QKeySequence::Preferences, &MainWindow::OnSettings));
  tools->addAction(Add("driveInformation", tr("&Drive Information"), QKeySequence(Qt::CTRL | Qt::Key_I), &MainWindow::OnDriveInformation));
  QMenu* help = menuBar()->addMenu(tr("&Help"));
  help->addAction(Add("help", tr("&Help"), QKeySequence::HelpContents, &MainWindow::OnHelp));
  help->addAction(Add("about", tr("&About Dravik for VHD"), QKeySequence(), &MainWindow::OnAbout));

  QToolBar* bar = addToolBar(tr("Standard"));
  bar->setObjectName(QStringLiteral("Standard"));
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  Command("open")->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
  Command("recover")->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  Command("saveAll")->setIcon(style()->standardIcon(QStyle::SP_DriveFDIcon));
  Command("settings")->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
  Command("driveInformation")->setIcon(style()->standardIcon(QStyle::SP_DriveHDIcon));
  Command("help")->setIcon(style()->standardIcon(QStyle::SP_DialogHelpButton));
  for (const char* name : {"open", "recover", "saveAll", "settings", "driveInformation", "help"}) bar->addAction(Command(name));

  statusBar()->showMessage(tr("Ready"));
  connect(wizard_, &Wizard::CommandsChanged, this, &MainWindow::UpdateCommands);
  connect(wizard_, &Wizard::ImageOpened, this, &MainWindow::RememberImage);
  connect(wizard_, &Wizard::SnapshotUsed, this, &MainWindow::RememberSnapshot);
  connect(wizard_, &Wizard::SnapshotUsed, this, &MainWindow::UpdateCommands);
  connect(wizard_->results, &ResultsPage::ContextMenuAsked, this, &MainWindow::ShowContextMenu);
  connect(wizard_->results, &ResultsPage::FolderMenuAsked, this, &MainWindow::ShowFolderMenu);
  for (QSplitter* splitter : findChildren<QSplitter*>()) {
    if (splitter->objectName().isEmpty()) continue;
    builtOrientations_.insert(splitter->objectName(), splitter->orientation());
    splitter->installEventFilter(this);
  }
  builtState_ = saveState();
  RestoreSettings();
  UpdateCommands();
}

QAction* MainWindow::Add(const QString& name, const QString& text, const QKeySequence& keys, void (MainWindow::*slot)()) {
  auto* action = new QAction(text, this);
  action->setObjectName(name);
  action->setShortcut(keys);
  connect(action, &QAction::triggered, this, slot);
  return action;
}

QAction* MainWindow::Command(const QString& name) const { return findChild<QAction*>(name); }

void MainWindow::UpdateCommands() {
  // The image or snapshot shown goes first in the title, as in other document windows.
  const QString document = QFileInfo(wizard_->DocumentPath()).fileName();
  setWindowTitle(document.isEmpty() ? QString::fromLatin1(AppTexts::kProduct)
                                    : QStringLiteral("%1 - %2").arg(document, QString::fromLatin1(AppTexts::kProduct)));
  const Session& s = wizard_->session();
  const int page = wizard_->CurrentPage();
  const bool busy = wizard_->Busy();
  const bool results = s.ResultsAvailable() && page == Wizard::kResults;
  const bool trace = s.mode == ScanMode::kFileTrace;
  Command("open")->setEnabled(page == Wizard::kStart);
  recentMenu_->setEnabled(page == Wizard::kStart && !recent_.isEmpty());
  Command("recover")->setEnabled(results);
  Command("saveAll")->setEnabled(results);
  Command("saveSnapshot")->setEnabled(wizard_->snapshots().CanSave());
  Command("loadSnapshot")->setEnabled(wizard_->snapshots().CanLoad());
  for (const char* name : {"icons", "list", "details", "fileFilters"}) Command(name)->setEnabled(results);
  Command("findFiles")->setEnabled(results && !trace);
  Command("settings")->setEnabled(!trace && !busy);
  Command("driveInformation")->setEnabled(results);
  static const char* const kPages[] = {"Choose an image and a scan mode", "Choose the drive", "Choose the partition",
                                       "Choose a file system", "Recovered folders and files",
                                       "What was repaired in the damaged image"};
  QString message = tr(kPages[page]);
  if (busy) message += tr(" — working…");
  statusBar()->showMessage(message);
}

void MainWindow::OpenPath(const QString& given) {
  QString path = given;
  path.remove(QLatin1Char('"'));
  if (IsImage(path)) {
    wizard_->SetImagePath(path);
    return;
  }
  // Anything else is taken for a snapshot, known by its first two bytes.
  QFile file(path);
  QByteArray head;
  if (file.open(QIODevice::ReadOnly)) head = file.read(2);
  const bool known = head.size() == 2 && head[1] == 0 && (head[0] == 'D' || head[0] == 'A' || head[0] == 'R');
  if (!known) {
    wizard_->messenger().Show(AppTexts::kInvalidFile, MessageKind::kQuestion);
    return;
  }
  if (wizard_->CurrentPage() != Wizard::kStart) wizard_->Home();
  if (wizard_->CurrentPage() == Wizard::kStart) wizard_->snapshots().Open(path);
}

void MainWindow::OpenHandedOver(const QString& path) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  pending_ = path;
  OpenPending();
}

void MainWindow::OpenPending() {
  if (pending_.isEmpty()) return;
  // A question, a dialog or a running job comes first: asking now would stack
  // a second question over it. Look again shortly.
  if (QApplication::activeModalWidget() || wizard_->Busy()) {
    statusBar()->showMessage(tr("%1 will open once the open dialog is closed or the work running has ended.").arg(QFileInfo(pending_).fileName()));
    QTimer::singleShot(500, this, &MainWindow::OpenPending);
    return;
  }
  const QString path = std::exchange(pending_, QString());
  OpenPath(path);
}

void MainWindow::RememberImage(const QString& path) {
  const QString full = QFileInfo(path).absoluteFilePath();
  recent_.removeAll(full);
  recent_.prepend(full);
  while (recent_.size() > kRecentFiles) recent_.removeLast();
  FillRecentMenu();
}

void MainWindow::RememberSnapshot(const QString& path) {
  QSettings().setValue(QStringLiteral("Most Recent Check Book File/File"), QFileInfo(path).absoluteFilePath());
  RememberImage(path);
}

void MainWindow::OpenLastDocument() {
  const QString last = QSettings().value(QStringLiteral("Most Recent Check Book File/File")).toString();
  if (!last.isEmpty() && QFileInfo::exists(last)) OpenPath(last);
}

void MainWindow::FillRecentMenu() {
  recentMenu_->clear();
  for (int i = 0; i < recent_.size(); ++i) {
    const QString path = recent_[i];
    QAction* entry = recentMenu_->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
    entry->setToolTip(path);
    entry->setStatusTip(path);
    connect(entry, &QAction::triggered, this, [this, path] { OpenRecent(path); });
  }
  recentMenu_->setEnabled(!recent_.isEmpty());
}

void MainWindow::OpenRecent(const QString& path) {
  if (!QFileInfo::exists(path)) {
    wizard_->messenger().Show(tr("%1\nwas not found; it is taken off the recent files.").arg(path), MessageKind::kError);
    recent_.removeAll(path);
    FillRecentMenu();
    return;
  }
  OpenPath(path);
}

void MainWindow::ShowContextMenu(const QPoint& global) {
  if (findDialog_) return;
  ResultsPage* page = wizard_->results;
  QMenu menu(this);
  menu.addAction(tr("&Recover Selected..."), this, &MainWindow::OnRecover);
  QMenu* view = menu.addMenu(tr("&View"));
  view->addAction(tr("Ico&ns"), this, &MainWindow::OnIcons);
  view->addAction(tr("&List"), this, &MainWindow::OnList);
  view->addAction(tr("&Details"), this, &MainWindow::OnDetails);
  if (wizard_->session().mode != ScanMode::kFileTrace)
    menu.addAction(tr("&Find Files..."), this, &MainWindow::OnFindFiles)->setEnabled(Command("findFiles")->isEnabled());
  menu.addAction(tr("Re&name"), page, &ResultsPage::RenameCurrent);
  menu.addAction(tr("&Settings..."), this, &MainWindow::OnSettings)->setEnabled(Command("settings")->isEnabled());
  menu.addAction(tr("&Properties..."), page, &ResultsPage::ShowProperties);
  showMenu(menu, global);
}

void MainWindow::ShowFolderMenu(const QPoint& global, std::size_t node) {
  if (findDialog_) return;
  ResultsPage* page = wizard_->results;
  QMenu menu(this);
  menu.addAction(tr("&Check"), this, [page, node] { page->SetFolderChecked(node, true); });
  menu.addAction(tr("&Uncheck"), this, [page, node] { page->SetFolderChecked(node, false); });
  menu.addSeparator();
  menu.addAction(tr("&Recover This Folder..."), this, [this, node] { wizard_->saving().RecoverFolder(node); });
  // A file type of File Trace is no folder of the disk: it has no properties.
  if (!page->ShowsTrace())
    menu.addAction(tr("&Properties..."), this, [page, node] { page->ShowFolderProperties(node); });
  showMenu(menu, global);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  const auto urls = event->mimeData()->urls();
  if (urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  const auto urls = event->mimeData()->urls();
  if (!urls.isEmpty()) OpenPath(urls.front().toLocalFile());
}

QString MainWindow::LayoutGroup() const {
  const QScreen* shown = screen();
  const qreal ratio = shown ? shown->devicePixelRatio() * shown->logicalDotsPerInch() / 96.0 : 1.0;
  return QStringLiteral("Layout/") + QString::number(ratio, 'f', 2);
}

void MainWindow::FitToScreen() {
  resize(FitScreen(this, QSize(960, 720)));
  if (const QScreen* shown = screen()) move(shown->availableGeometry().topLeft());
}

void MainWindow::RestoreSettings() {
  QSettings settings;
  recent_ = settings.value(QStringLiteral("Recent File List")).toStringList();
  settings.beginGroup(LayoutGroup());
  if (!restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray())) FitToScreen();
  restoreState(settings.value(QStringLiteral("CommandBars")).toByteArray());
  for (QSplitter* splitter : findChildren<QSplitter*>()) {
    if (splitter->objectName().isEmpty()) continue;
    const QByteArray state = settings.value(QStringLiteral("Splitters/") + splitter->objectName()).toByteArray();
    if (!state.isEmpty()) splitter->restoreState(state);
  }
  settings.endGroup();
  FillRecentMenu();
  if (!recent_.isEmpty()) wizard_->SetImagePath(recent_.front());
}

void MainWindow::SaveSettings() {
  QSettings settings;
  settings.setValue(QStringLiteral("Recent File List"), recent_);
  settings.beginGroup(LayoutGroup());
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
  settings.setValue(QStringLiteral("CommandBars"), saveState());
  for (QSplitter* splitter : findChildren<QSplitter*>())
    if (shownSplitters_.contains(splitter->objectName()))
      settings.setValue(QStringLiteral("Splitters/") + splitter->objectName(), splitter->saveState());
  settings.endGroup();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) shownSplitters_.insert(watched->objectName());
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::OnResetLayout() {
  QSettings().remove(LayoutGroup());
  for (QSplitter* splitter : findChildren<QSplitter*>()) {
    const auto built = builtOrientations_.constFind(splitter->objectName());
    if (built == builtOrientations_.constEnd()) continue;
    splitter->setOrientation(*built);
    splitter->setSizes(splitter->property("builtSizes").value<QList<int>>());
  }
  restoreState(builtState_);
  if (isMaximized() || isFullScreen()) showNormal();
  FitToScreen();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!confirmed_) {
    if (isMinimized()) showNormal();
    if (!wizard_->snapshots().Offer(SnapshotTexts::kSaveOnClose) ||
        !wizard_->messenger().Ask(AppTexts::kCloseQuestion)) {
      event->ignore();
      return;
    }
  }
  wizard_->StopAndWait();
  if (!wizard_->session().lastImage.empty())
    RememberImage(QFile::decodeName(QByteArray::fromStdString(wizard_->session().lastImage)));
  SaveSettings();
  event->accept();
}

void MainWindow::OnOpen() {
  if (wizard_->CurrentPage() == Wizard::kStart) wizard_->Browse();
}
void MainWindow::OnRecover() { wizard_->saving().Recover(); }
void MainWindow::OnSaveAll() { wizard_->saving().SaveAll(); }
void MainWindow::OnSaveSnapshot() { wizard_->snapshots().Save(); }
void MainWindow::OnLoadSnapshot() { wizard_->snapshots().Load(); }
void MainWindow::OnExit() { close(); }
void MainWindow::OnIcons() { wizard_->results->SetViewStyle(ResultsPage::ViewStyle::kIcons); }
void MainWindow::OnList() { wizard_->results->SetViewStyle(ResultsPage::ViewStyle::kList); }
void MainWindow::OnDetails() { wizard_->results->SetViewStyle(ResultsPage::ViewStyle::kDetails); }

void MainWindow::OnFindFiles() {
  if (!Command("findFiles")->isEnabled() || findDialog_) return;
  FindFilesDialog dialog(*wizard_, this);
  findDialog_ = &dialog;
  dialog.exec();
  findDialog_ = nullptr;
}

void MainWindow::OnFileFilters() {
  if (!Command("fileFilters")->isEnabled()) return;
  FileFiltersDialog dialog(wizard_->session().filter, wizard_->messenger(), this);
  connect(&dialog, &FileFiltersDialog::Changed, wizard_->results, &ResultsPage::RefreshList);
  dialog.exec();
}

void MainWindow::OnSettings() {
  RecoverySettingsDialog dialog(wizard_->session().settings, this);
  dialog.exec();
  // The deleted setting changes what a save would write.
  wizard_->results->UpdateSelectedSize();
}

void MainWindow::OnDriveInformation() {
  const Session& s = wizard_->session();
  ScanCounts counts{s.mode, s.Store().folderCount, s.Store().fileCount};
  DriveInformationDialog dialog(DriveInformationLines(s.params, counts), this);
  dialog.exec();
}

void MainWindow::OnHelp() {
  const QString file = QCoreApplication::applicationDirPath() + QLatin1Char('/') + AppTexts::kHelpFile;
  if (QFileInfo::exists(file)) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(file));
    return;
  }
  wizard_->messenger().Show(AppTexts::kHelpMissing, MessageKind::kError);
}

void MainWindow::OnAbout() {
  QMessageBox::about(this, tr("About Dravik for VHD"),
                     QStringLiteral("<h3>%1</h3><p>%2</p><p>Recovers folders and files from VHD and VHDX images.</p>")
                         .arg(AppTexts::kProduct, AppTexts::kVersion));
}

}  // namespace dravik::app
