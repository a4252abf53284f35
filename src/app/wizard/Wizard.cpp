#include "app/wizard/Wizard.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "app/AppTexts.h"
#include "app/trace/FileTypesDialog.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ExtensiveScanController.h"
#include "app/wizard/FileSystemPage.h"
#include "app/wizard/ImageOpening.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/PartitionSearchController.h"
#include "app/wizard/PartitionTypeDialog.h"
#include "app/wizard/PreviewController.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/QuickScanController.h"
#include "app/wizard/RepairsPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/SaveController.h"
#include "app/wizard/SnapshotController.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/TraceController.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {

QString ModeName(ScanMode mode) {
  switch (mode) {
    case ScanMode::kQuick: return QStringLiteral("Quick Scan");
    case ScanMode::kExtensive: return QStringLiteral("Extensive Scan");
    case ScanMode::kFileTrace: return QStringLiteral("File Trace");
  }
  return {};
}

Wizard::Wizard(QWidget* parent) : QStackedWidget(parent), messenger_(this) {
  start = new StartPage;
  drive = new DrivePage;
  partition = new PartitionPage;
  fileSystem = new FileSystemPage;
  results = new ResultsPage;
  repairs = new RepairsPage;
  for (QWidget* page : std::initializer_list<QWidget*>{start, drive, partition, fileSystem, results, repairs})
    addWidget(page);

  jobs_ = std::make_unique<JobRunner>(worker_, partition->progress);
  partitionSearch_ = std::make_unique<PartitionSearchController>(*this);
  quickScan_ = std::make_unique<QuickScanController>(*this);
  extensiveScan_ = std::make_unique<ExtensiveScanController>(*this);
  trace_ = std::make_unique<TraceController>(*this);
  saving_ = std::make_unique<SaveController>(*this);
  snapshots_ = std::make_unique<SnapshotController>(*this);
  preview_ = std::make_unique<PreviewController>(*this);
  connect(jobs_.get(), &JobRunner::BusyChanged, this, &Wizard::CommandsChanged);
  connect(snapshots_.get(), &SnapshotController::Used, this, &Wizard::SnapshotUsed);
  connect(snapshots_.get(), &SnapshotController::ImageOpened, this, &Wizard::ImageOpened);

  InstallDialogs();
  ConnectPages();
  ShowPage(kStart);
}

Wizard::~Wizard() { StopAndWait(); }

void Wizard::InstallDialogs() {
  askPartitionChoice = [this](std::size_t listed) { return AskPartitionType(listed, this); };
  chooseImage = [this] {
    // Any file can be read as a raw disk, so all files are offered too.
    return QFileDialog::getOpenFileName(this, AppTexts::kBrowseTitle, DialogFolder(),
                                        tr("Disk images (*.vhd *.vhdx *.avhd *.avhdx *.img *.raw *.dd *.VHD *.VHDX "
                                           "*.AVHD *.AVHDX *.IMG *.RAW *.DD);;All files (*)"));
  };
  chooseDestination = [this] {
    // The destination chosen last, else beside the image or snapshot.
    const QString last = QFile::decodeName(session_.destination.string().c_str());
    return QFileDialog::getExistingDirectory(this, AppTexts::kChooseDestination,
                                             last.isEmpty() ? DialogFolder() : last);
  };

  cataloguePath = CatalogueFileOf(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString(),
                                  DRAVIK_DATA_FROM_BIN);
  chooseTraceTypes = [this](std::uint32_t lastCarveSizeMiB) -> std::optional<TraceChoice> {
    std::optional<Catalogue> catalogue = trace_->LoadCatalogue();
    if (!catalogue) return std::nullopt;
    FileTypesDialog dialog(std::move(catalogue), lastCarveSizeMiB, messenger_, this);
    dialog.ShowSettings(session_.settings);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    dialog.KeepSettings(session_.settings);
    return dialog.Choice();
  };
  chooseSnapshotToSave = [this](const QString& suggested) {
    // The suggested name is a bare file name: it is offered beside the image.
    const QString folder = DialogFolder();
    const QString start = folder.isEmpty() || !QFileInfo(suggested).isRelative() ? suggested
                                                                                 : QDir(folder).filePath(suggested);
    return QFileDialog::getSaveFileName(this, SnapshotTexts::kSaveTitle, start,
                                        tr("Recovery snapshots (%1)").arg(SnapshotTexts::kFilter));
  };
  chooseSnapshotToLoad = [this] {
    const QStringList chosen = QFileDialog::getOpenFileNames(this, tr("Load Recovery Snapshot"), DialogFolder(),
                                                             tr("Recovery snapshots (%1)").arg(SnapshotTexts::kFilter));
    return chosen.isEmpty() ? QString() : chosen.back();
  };
}

void Wizard::ConnectPages() {
  connect(start->select, &QPushButton::clicked, this, &Wizard::Browse);
  // Return in the path box opens the image for a Quick Scan; the filter takes
  // the key, so that it does not go on to the drive page's Next as well.
  start->path->installEventFilter(this);
  connect(start->quick, &QToolButton::clicked, this, [this] { ChooseMode(ScanMode::kQuick); });
  connect(start->extensive, &QToolButton::clicked, this, [this] { ChooseMode(ScanMode::kExtensive); });
  connect(start->trace, &QToolButton::clicked, this, [this] { ChooseMode(ScanMode::kFileTrace); });
  connect(start->asRaw, &QCheckBox::clicked, this, [this] { rawFromQuestion_ = false; });
  connect(start->path, &QLineEdit::textChanged, this, [this] {
    if (!rawFromQuestion_) return;
    rawFromQuestion_ = false;
    start->asRaw->setChecked(false);
  });
  connect(repairs->buttons.forward, &QPushButton::clicked, this, [this] { ShowPage(kDrive); });
  connect(drive->buttons.forward, &QPushButton::clicked, this, &Wizard::DriveNext);
  connect(partition->buttons.forward, &QPushButton::clicked, this, &Wizard::PartitionScan);
  connect(fileSystem->buttons.forward, &QPushButton::clicked, this, &Wizard::FileSystemNext);
  for (QPushButton* button : {drive->buttons.stop, partition->buttons.stop, fileSystem->buttons.stop})
    connect(button, &QPushButton::clicked, this, &Wizard::Stop);
  for (QPushButton* button :
       {repairs->buttons.back, drive->buttons.back, partition->buttons.back, fileSystem->buttons.back, results->back})
    connect(button, &QPushButton::clicked, this, &Wizard::Back);
  for (QPushButton* button :
       {repairs->buttons.home, drive->buttons.home, partition->buttons.home, fileSystem->buttons.home, results->home})
    connect(button, &QPushButton::clicked, this, &Wizard::Home);
  connect(results->recover, &QPushButton::clicked, saving_.get(), &SaveController::Recover);
  results->UseSaveRules(session_.filter, session_.settings);
  connect(drive->devices, &QTreeWidget::itemSelectionChanged, partitionSearch_.get(),
          &PartitionSearchController::ShowDriveInfo);
  connect(partition->partitions, &QTreeWidget::itemSelectionChanged, partitionSearch_.get(),
          &PartitionSearchController::ShowPartitionInfo);
}

void Wizard::ShowPage(int page) {
  if (currentIndex() == page && page != kStart) return;
  setCurrentIndex(page);
  // The page's list takes the keyboard, so that arrows move in it and Return
  // goes on to the forward button; a page's hidden buttons cannot keep it.
  QWidget* focus = page == kDrive        ? static_cast<QWidget*>(drive->devices)
                   : page == kPartition  ? static_cast<QWidget*>(partition->partitions)
                   : page == kFileSystem ? static_cast<QWidget*>(fileSystem->list)
                   : page == kRepairs    ? static_cast<QWidget*>(repairs->buttons.forward)
                                         : nullptr;
  if (focus) focus->setFocus(Qt::OtherFocusReason);
  Q_EMIT CommandsChanged();
}

bool Wizard::SetImagePath(const QString& path) {
  if (currentIndex() != kStart) Home();
  if (currentIndex() != kStart) return false;
  start->path->setText(path);
  return true;
}

// Page 0.

void Wizard::Browse() {
  const QString path = chooseImage();
  if (path.isEmpty()) return;
  if (!QFileInfo::exists(path)) {
    messenger_.Show(path.trimmed() + AppTexts::kNotExists, MessageKind::kQuestion);
    return;
  }
  start->path->setText(path);
}

bool Wizard::OpenImage(bool quick) {
  const QString path = start->path->text().trimmed();
  if (path.isEmpty()) {
    messenger_.Show(AppTexts::kEmptyPath, MessageKind::kInformation);
    return false;
  }
  if (!QFileInfo::exists(path)) {
    messenger_.Show(path + AppTexts::kNotExists, MessageKind::kQuestion);
    return false;
  }
  const std::string native = QFile::encodeName(path).toStdString();
  OpenRequest request{quick, start->asRaw->isChecked()};
  if (native == session_.lastImage && session_.ImageOpen() && request.asRaw == session_.lastAsRaw) return true;
  const bool asked = request.asRaw;
  if (!OpenDisk(session_, messenger_, path, request)) {
    start->path->clear();
    session_.lastImage.clear();
    drive->FillDevices(false);
    return false;
  }
  if (!AcceptChainWarnings(session_, messenger_)) {
    session_.disk.Close();
    session_.lastImage.clear();
    drive->FillDevices(false);
    return false;
  }
  if (request.asRaw && !asked) {
    // The box shows how the file at the path is read now.
    start->asRaw->setChecked(true);
    rawFromQuestion_ = true;
  }
  TakeOpenedImage(session_, path, request.asRaw);
  drive->FillDevices(true);
  Q_EMIT ImageOpened(path);
  return true;
}

bool Wizard::HasRepairs() const { return session_.ImageOpen() && !session_.disk.Repairs().empty(); }

void Wizard::ChooseMode(ScanMode mode) {
  if (currentIndex() != kStart) return;
  if (!OpenImage(mode == ScanMode::kQuick)) return;
  session_.mode = mode;
  ShowModeText(false);
  drive->devices->setCurrentItem(drive->image);
  partitionSearch_->ShowDriveInfo();
  if (HasRepairs()) {
    repairs->SetRepairs(session_.disk.Repairs());
    ShowPage(kRepairs);
  } else {
    ShowPage(kDrive);
  }
}

void Wizard::ShowModeText(bool withDrive) {
  QString text = QStringLiteral("Selected Mode : ") + ModeName(session_.mode);
  const QString shown = withDrive ? text + QStringLiteral("   ·   Drive Type : Virtual Hard Disk") : text;
  for (QLabel* label : {repairs->mode, drive->mode, partition->mode, fileSystem->mode, results->mode})
    label->setText(shown);
}

// The forward buttons hand the page's choice to the mode's controller.

void Wizard::DriveNext() {
  if (!Busy()) partitionSearch_->Start();
}

void Wizard::PartitionScan() {
  if (Busy()) return;
  const int index = partition->Selected();
  switch (session_.mode) {
    case ScanMode::kQuick: quickScan_->Start(index); break;
    case ScanMode::kExtensive: extensiveScan_->StartSearch(index); break;
    case ScanMode::kFileTrace: trace_->Start(index); break;
  }
}

void Wizard::FileSystemNext() {
  if (!Busy()) extensiveScan_->StartExtraction();
}

void Wizard::ShowResults() {
  session_.Tree()->CheckEverything();
  results->SetResult(session_.Tree(), &session_.Store());
  ShowPage(kResults);
  Q_EMIT CommandsChanged();
}

void Wizard::ShowTraceResults() {
  results->SetTraceResult(&*session_.traceTree);
  ShowPage(kResults);
  Q_EMIT CommandsChanged();
}

void Wizard::Stop() {
  if (!worker_.Running() || worker_.Finished()) return;
  worker_.Pause();
  if (messenger_.Ask(jobs_->StopQuestion())) {
    worker_.ConfirmStop();
    jobs_->MarkStopped();
    for (QPushButton* stop : {drive->buttons.stop, partition->buttons.stop, fileSystem->buttons.stop}) stop->hide();
  } else {
    worker_.Resume();
  }
}

void Wizard::StopAndWait() { jobs_->StopAndWait(); }

QString Wizard::DocumentPath() const {
  if (currentIndex() == kStart) return {};
  if (session_.snapshot && !snapshots_->Path().isEmpty()) return snapshots_->Path();
  if (session_.ImageOpen() && !session_.lastImage.empty()) return QFile::decodeName(session_.lastImage.c_str());
  return {};
}

QString Wizard::DialogFolder() const {
  QString file = DocumentPath();
  if (file.isEmpty() && session_.ImageOpen() && !session_.lastImage.empty())
    file = QFile::decodeName(session_.lastImage.c_str());
  if (file.isEmpty()) file = start->path->text().trimmed();
  if (file.isEmpty()) return {};
  const QDir folder = QFileInfo(file).absoluteDir();
  return folder.exists() ? folder.absolutePath() : QString();
}

QPushButton* Wizard::ForwardButton() const {
  QPushButton* forward = nullptr;
  switch (currentIndex()) {
    case kDrive: forward = drive->buttons.forward; break;
    case kPartition: forward = partition->buttons.forward; break;
    case kFileSystem: forward = fileSystem->buttons.forward; break;
    case kRepairs: forward = repairs->buttons.forward; break;
    default: return nullptr;  // the results page has none: Return must never start a save
  }
  return !Busy() && forward->isVisible() && forward->isEnabled() ? forward : nullptr;
}

bool Wizard::eventFilter(QObject* watched, QEvent* event) {
  if (watched == start->path && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      ChooseMode(ScanMode::kQuick);
      return true;
    }
  }
  return QStackedWidget::eventFilter(watched, event);
}

void Wizard::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    if (QPushButton* forward = ForwardButton()) {
      forward->click();
      return;
    }
  }
  QStackedWidget::keyPressEvent(event);
}

// Back and Home.

bool Wizard::BackFromResults() {
  if (!snapshots_->Offer(SnapshotTexts::kSaveOnBack)) return false;
  const bool fromSnapshot = session_.snapshot.has_value();
  results->SetResult(nullptr, nullptr);
  session_.FreeResults();
  partition->progress->Reset();
  if (fromSnapshot) {
    // The snapshot was loaded on the drive page, or at start without an image.
    if (session_.ImageOpen()) {
      ShowModeText(false);
      ShowPage(kDrive);
    } else {
      BackFromDrive();
    }
  } else if (session_.mode == ScanMode::kExtensive) {
    ShowPage(kFileSystem);
  } else {
    ShowPage(kPartition);
  }
  return true;
}

void Wizard::BackFromFileSystem() {
  fileSystem->list->clear();
  session_.FreeResults();
  session_.findings.Clear();
  session_.scanStarted = false;
  partition->hint->setText(AppTexts::kPartitionHint);
  ShowPage(kPartition);
}

void Wizard::BackFromPartition() {
  partition->partitions->clear();
  partition->progress->Reset();
  session_.FreeScan();
  session_.scanStarted = false;
  drive->SetBusy(false);
  ShowModeText(false);
  ShowPage(kDrive);
}

void Wizard::BackFromDrive() {
  session_.FreeScan();
  session_.scanStarted = false;
  ShowPage(HasRepairs() ? kRepairs : kStart);
}

void Wizard::Back() {
  if (Busy()) return;
  switch (currentIndex()) {
    case kResults: BackFromResults(); break;
    case kFileSystem: BackFromFileSystem(); break;
    case kPartition: BackFromPartition(); break;
    case kDrive: BackFromDrive(); break;
    case kRepairs: ShowPage(kStart); break;
    default: break;
  }
  Q_EMIT CommandsChanged();
}

void Wizard::Home() {
  if (Busy()) return;
  while (currentIndex() != kStart) {
    const int from = currentIndex();
    Back();
    if (currentIndex() == from) return;
  }
}

}  // namespace dravik::app
