#include "app/wizard/Wizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTreeView>
#include <QTreeWidget>

#include "app/AppTexts.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/TraceModels.h"
#include "app/trace/FileTypesDialog.h"
#include "app/wizard/CapacityChart.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/FileSystemPage.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/PartitionTypeDialog.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/RepairsPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "disk/DriveInfo.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/ScanRange.h"
#include "fs/LostBlockPlacement.h"
#include "save/SaveDriver.h"
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

namespace {

const std::vector<QString> kQuickCounters = {AppTexts::kFoldersFound, AppTexts::kFilesFound, AppTexts::kCurrentSector,
                                             AppTexts::kLastItem};
const std::vector<QString> kTraceCounters = {AppTexts::kCurrentSector, AppTexts::kFilesFound};
const std::vector<QString> kExtractCounters = {AppTexts::kFoldersFound, AppTexts::kFilesFound};
const std::vector<QString> kPartitionSearchCounters = {QStringLiteral("Partition(s) Found :"), AppTexts::kCurrentSector};

// Reading as a raw disk can help a file that was read but holds no image of
// its kind (or no kind its name tells); not one that cannot be read at all
// or that was read as a raw disk already.
bool RawRoadMayHelp(const QString& path, const OpenResult& failed) {
  const QFileInfo file(path);
  return failed.kind != ImageKind::kRaw && file.isFile() && file.isReadable() && file.size() > 0;
}

}  // namespace

Wizard::Wizard(QWidget* parent) : QStackedWidget(parent), messenger_(this) {
  start = new StartPage;
  drive = new DrivePage;
  partition = new PartitionPage;
  fileSystem = new FileSystemPage;
  results = new ResultsPage;
  repairs = new RepairsPage;
  for (QWidget* page : std::initializer_list<QWidget*>{start, drive, partition, fileSystem, results, repairs})
    addWidget(page);

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
    std::optional<Catalogue> catalogue = LoadTraceCatalogue();
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

  connect(results, &ResultsPage::RowChosen, this, &Wizard::PreviewRow);
  // The pane was cleared: the file shown last is shown again when chosen again.
  connect(results, &ResultsPage::FolderChanged, this, [this] {
    lastPreview_.clear();
    lastPreviewId_ = 0;
  });
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
  connect(repairs->buttons.forward, &QPushButton::clicked, this, &Wizard::RepairsNext);
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
  connect(results->recover, &QPushButton::clicked, this, &Wizard::Recover);
  results->UseSaveRules(session_.filter, session_.settings);
  connect(drive->devices, &QTreeWidget::itemSelectionChanged, this, &Wizard::ShowDriveInfo);
  connect(partition->partitions, &QTreeWidget::itemSelectionChanged, this, &Wizard::ShowPartitionInfo);
  connect(&worker_, &ScanWorker::Progress, this, &Wizard::OnProgress);
  poll_.setInterval(kPollMs);
  connect(&poll_, &QTimer::timeout, this, &Wizard::Poll);
  connect(&worker_, &ScanWorker::Returned, this, &Wizard::Poll);
  ShowPage(kStart);
}

Wizard::~Wizard() { StopAndWait(); }

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
  if (!OpenDisk(path, request)) {
    start->path->clear();
    session_.lastImage.clear();
    drive->FillDevices(false);
    return false;
  }
  if (!AcceptChainWarnings()) {
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
  session_.imageKind = session_.disk.CurrentImageKind();
  session_.drives = {};
  RegisterImage(session_.drives, session_.disk);
  session_.lastImage = native;
  session_.lastAsRaw = request.asRaw;
  drive->FillDevices(true);
  Q_EMIT ImageOpened(path);
  return true;
}

bool Wizard::OpenDisk(const QString& path, OpenRequest& request) {
  const std::string native = QFile::encodeName(path).toStdString();
  OpenResult opened = dravik::OpenImage(session_.disk, native, request);
  if (!opened.Usable()) {
    messenger_.Show(QString::fromStdString(opened.message), MessageKind::kError);
    if (!RawRoadMayHelp(path, opened) || !messenger_.Ask(AppTexts::kReadAsRawQuestion)) return false;
    request.asRaw = true;
    opened = dravik::OpenImage(session_.disk, native, request);
    if (!opened.Usable()) {
      messenger_.Show(QString::fromStdString(opened.message), MessageKind::kError);
      return false;
    }
  }
  PlaceLostBlocks(session_.disk);
  return true;
}

bool Wizard::HasRepairs() const { return session_.ImageOpen() && !session_.disk.Repairs().empty(); }

bool Wizard::AcceptChainWarnings() {
  const auto& warnings = session_.disk.Chain().warnings;
  if (warnings.empty()) return true;
  QString text = tr("The image opened, but:");
  for (const std::string& warning : warnings) text += QStringLiteral("\n• ") + QString::fromStdString(warning);
  text += tr("\n\nWhat the missing or mismatched parts hold reads as zeros or may not belong to this disk."
             "\nDo you want to go on with this image?");
  return messenger_.Ask(text);
}

void Wizard::ChooseMode(ScanMode mode) {
  if (currentIndex() != kStart) return;
  quickAttempt_ = mode == ScanMode::kQuick;
  if (!OpenImage(quickAttempt_)) {
    quickAttempt_ = false;
    return;
  }
  session_.mode = mode;
  ModeText(false);
  drive->devices->setCurrentItem(drive->image);
  ShowDriveInfo();
  if (HasRepairs()) {
    repairs->SetRepairs(session_.disk.Repairs());
    ShowPage(kRepairs);
  } else {
    ShowPage(kDrive);
  }
}

void Wizard::RepairsNext() {
  ShowPage(kDrive);
}

void Wizard::ModeText(bool withDrive) {
  QString text = QStringLiteral("Selected Mode : ") + ModeName(session_.mode);
  const QString shown = withDrive ? text + QStringLiteral("   ·   Drive Type : Virtual Hard Disk") : text;
  for (QLabel* label : {repairs->mode, drive->mode, partition->mode, fileSystem->mode, results->mode})
    label->setText(shown);
}

// Page 1.

void Wizard::ShowDriveInfo() {
  const auto items = drive->devices->selectedItems();
  QTreeWidgetItem* item = items.isEmpty() ? nullptr : items.front();
  if (item && item == drive->image && session_.imageKind) {
    drive->info->SetLines(DiskInfoLines(session_.drives, 0, session_.disk, *session_.imageKind));
    PartitionTable table;
    ReadDrivePartitions(session_.reader, table);
    // A VHDX or a raw disk records no geometry; its shares are taken of its size.
    const std::uint64_t sectors = session_.drives.slots[0].totalSectors != 0 ? session_.drives.slots[0].totalSectors
                                                                              : session_.reader.SectorCount();
    drive->chart->SetSlices(CapacityShares(table, sectors));
    drive->chart->show();
    return;
  }
  drive->chart->hide();
  if (item == drive->logical) {
    drive->info->SetLines({{"Volume Name\t\t:", ""}, {"Capacity\t\t:", ""}, {"SPC\t\t\t:", ""},
                           {"Byte Per Sector\t\t:", ""}, {"File System\t\t:", ""}});
  } else if (item == drive->physical && session_.imageKind) {
    auto lines = DiskInfoLines(session_.drives, 0, session_.disk, *session_.imageKind);
    for (InfoLine& line : lines) line.value.clear();
    drive->info->SetLines(lines);
  } else {
    drive->info->SetLines({});
  }
}

void Wizard::DriveNext() {
  if (Busy()) return;
  if (drive->devices->currentItem() != drive->image || !drive->image) {
    messenger_.Show(AppTexts::kNoDrive, MessageKind::kError);
    return;
  }
  session_.selectedPartition = -1;
  session_.partitions.Clear();
  PartitionTable table;
  ReadDrivePartitions(session_.reader, table);
  // A drive without a table is searched without asking; Cancel stays here.
  const PartitionChoice choice = table.Empty() ? PartitionChoice::kSearch : askPartitionChoice(table.Count());
  if (choice == PartitionChoice::kCancel) return;
  ModeText(true);
  drive->SetBusy(true);
  drive->progress->Reset();
  const DriveSlot& slot = session_.drives.slots[0];
  const DiskGeometry geometry = SearchGeometry({slot.cylinders, slot.heads, slot.sectorsPerTrack},
                                               session_.reader.SectorCount());
  foundPartitions_ = std::move(table);
  StartJob(Job::kPartitionSearch, [this, geometry, choice](ScanControl& control) {
    SearchPartitions(session_.reader, geometry, foundPartitions_, [choice] { return choice; }, control);
  });
}

void Wizard::FillPartitions() {
  partition->partitions->clear();
  auto* disk = new QTreeWidgetItem(partition->partitions, {QStringLiteral("Virtual Hard Disk 0 ")});
  disk->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
  for (std::size_t i = 0; i < session_.partitions.Count(); ++i) {
    const PartitionEntry& entry = session_.partitions.Entries()[i];
    auto* item = new QTreeWidgetItem(disk, {QString::fromStdString(PartitionLabel(i)) + QStringLiteral("  (") +
                                            QString::fromLatin1(FsName(entry.code)) + QStringLiteral(")")});
    item->setData(0, Qt::UserRole, static_cast<int>(i));
    item->setIcon(0, style()->standardIcon(QStyle::SP_DriveCDIcon));
  }
  partition->partitions->expandAll();
  if (session_.partitions.Count() > 0) partition->partitions->setCurrentItem(disk->child(0));
}

void Wizard::EndPartitionSearch() {
  drive->SetBusy(false);
  session_.partitions = std::exchange(foundPartitions_, PartitionTable{});
  FillPartitions();
  const bool extensive = session_.mode == ScanMode::kExtensive;
  partition->range->setVisible(extensive);
  partition->hint->setText(session_.mode == ScanMode::kQuick ? AppTexts::kQuickPartitionHint : AppTexts::kPartitionHint);
  if (extensive) {
    partition->fileSystem->setCurrentIndex(0);
    partition->SetDiskSectors(session_.reader.SectorCount());
    partition->startSector->setText(QStringLiteral("0"));
    partition->endSector->setText(QString::number(session_.reader.SectorCount()));
  }
  partition->progress->Reset();
  ShowPartitionInfo();
  ShowPage(kPartition);
  if (session_.mode == ScanMode::kQuick && session_.partitions.Empty()) {
    messenger_.Show(AppTexts::kNoPartitionFound, MessageKind::kInformation);
    Home();
  }
}

// Page 2.

void Wizard::ShowPartitionInfo() {
  const int index = partition->Selected();
  session_.selectedPartition = index;
  const PartitionEntry* entry =
      index >= 0 && static_cast<std::size_t>(index) < session_.partitions.Count() ? &session_.partitions.Entries()[static_cast<std::size_t>(index)] : nullptr;
  partition->info->SetLines(PartitionInfoLines(entry));
}

void Wizard::PartitionScan() {
  if (Busy()) return;
  const int index = partition->Selected();
  if (session_.mode == ScanMode::kFileTrace) {
    StartTraceScan(index);
    return;
  }
  if (session_.mode == ScanMode::kQuick) {
    if (index < 0) {
      messenger_.Show(AppTexts::kNoPartitionSelected, MessageKind::kInformation);
      return;
    }
    const PartitionEntry entry = session_.partitions.Entries()[static_cast<std::size_t>(index)];
    session_.FreeResults();
    jobResult_.reset();
    partition->progress->Reset();
    partition->SetBusy(true);
    session_.scanStarted = true;
    StartJob(Job::kQuickScan, [this, entry](ScanControl& control) {
      jobResult_ = ScanPartition(session_.reader, entry, control);
    });
    return;
  }
  // Extensive Scan. A VHD or a raw disk may be searched whole without a
  // partition chosen.
  if (session_.imageKind == ImageKind::kVhdx && index < 0 && partition->partitions->currentItem() == nullptr) {
    messenger_.Show(AppTexts::kNoPartitionSelected, MessageKind::kInformation);
    return;
  }
  static constexpr std::uint16_t kCodes[] = {kNtfs, kFat32, kFat16};
  const std::uint16_t fsType = kCodes[std::clamp(partition->fileSystem->currentIndex(), 0, 2)];
  const QString endText = partition->endSector->text().trimmed();
  const ScanRange range =
      CheckScanRange(partition->startSector->text().trimmed().toStdString(),
                     endText.isEmpty() ? std::nullopt : std::optional<std::string>(endText.toStdString()),
                     session_.reader.SectorCount());
  if (!range.Usable()) {
    messenger_.Show(QString::fromStdString(range.message), MessageKind::kError);
    return;
  }
  session_.FreeResults();
  session_.searchedRange = {};
  session_.searchedRange.fsType = fsType;
  session_.searchedRange.partitionStart = range.start;
  session_.searchedRange.partitionSectors = range.sectors;
  session_.searchedRange.lastSector = range.start + range.sectors;
  partition->progress->Reset();
  partition->SetBusy(true);
  fileSystem->hint->setText(QString::fromLatin1(AppTexts::kFileSystemHint).trimmed());
  session_.scanStarted = true;
  const std::uint32_t block = session_.settings.sectorsPerRead;
  StartJob(Job::kExtensiveScan, [this, fsType, range, block](ScanControl& control) {
    RunExtensiveScan(session_.reader, fsType, range.start, range.sectors, block, searchResult_, control);
  });
}

void Wizard::EndQuickScan() {
  partition->SetBusy(false);
  std::optional<ScanResult> taken = std::exchange(jobResult_, std::nullopt);
  const bool scanned = taken && taken->Usable();
  // Stopped before the parameters were read: an empty result, not a damaged partition.
  if (!scanned && !stopped_) {
    session_.FreeResults();
    messenger_.Show(AppTexts::kNoParams, MessageKind::kError);
    Home();
    return;
  }
  if (taken) session_.params = taken->params;
  if (!taken || !taken->Found()) {
    session_.FreeResults();
    messenger_.Show(QuickScanTexts::kNothingFound, MessageKind::kNotice);
    session_.scanStarted = false;
    Home();
    return;
  }
  session_.result = std::move(taken);
  ShowResults();
  messenger_.Show(QuickScanTexts::kFound, MessageKind::kInformation);
  const auto& notReadWhole = session_.result->foldersNotReadWhole;
  if (!notReadWhole.empty()) messenger_.Show(FoldersNotReadWholeText(notReadWhole), MessageKind::kError);
}

// Files in the part of a folder's listing the image could not give are not
// known, so no save report can name them: the folders are named instead.
QString Wizard::FoldersNotReadWholeText(const std::vector<std::u16string>& folders) {
  constexpr std::size_t kShown = 10;
  QString text = tr("%n folder(s) could not be read whole; files in them may be missing:", nullptr,
                    static_cast<int>(folders.size()));
  for (std::size_t i = 0; i < folders.size() && i < kShown; ++i)
    text += QStringLiteral("\n") + QString::fromStdU16String(folders[i]);
  if (folders.size() > kShown)
    text += tr("\n… and %n more", nullptr, static_cast<int>(folders.size() - kShown));
  return text;
}

void Wizard::ShowResults() {
  session_.Tree()->CheckEverything();
  results->SetResult(session_.Tree(), &session_.Store());
  ShowPage(kResults);
  Q_EMIT CommandsChanged();
}

void Wizard::EndExtensiveScan() {
  partition->SetBusy(false);
  session_.findings = std::move(searchResult_);
  searchResult_.Clear();
  fileSystem->list->clear();
  for (std::size_t i = 0; i < session_.findings.fileSystems.size(); ++i) {
    const FoundFileSystem& found = session_.findings.fileSystems[i];
    auto* item = new QTreeWidgetItem(fileSystem->list,
                                     {QString::fromStdString(found.Label()), QString::number(found.Start()),
                                      QString::number(found.fsEnd),
                                      QStringLiteral("%1 bytes").arg(found.sectorsPerCluster * kSectorSize)});
    item->setData(0, Qt::UserRole, static_cast<int>(i + 1));
  }
  ShowPage(kFileSystem);
  if (session_.findings.fileSystems.empty()) {
    fileSystem->hint->setText(AppTexts::kNoFileSystemHint);
    messenger_.Show(ExtensiveTexts::kNoneFoundMessage, MessageKind::kError);
  } else {
    fileSystem->list->setCurrentItem(fileSystem->list->topLevelItem(0));
  }
}

// Page 3.

void Wizard::FileSystemNext() {
  if (Busy()) return;
  const int number = fileSystem->Selected();
  if (number <= 0) {
    messenger_.Show(AppTexts::kNoFileSystemSelected, MessageKind::kInformation);
    return;
  }
  session_.FreeResults();
  fileSystem->progress->Reset();
  fileSystem->SetBusy(true);
  session_.scanStarted = true;
  StartJob(Job::kFileSystemScan, [this, number](ScanControl& control) {
    jobResult_ = ExtractFoundFileSystem(session_.reader, session_.findings, static_cast<std::uint16_t>(number),
                                        session_.searchedRange, control);
  });
}

void Wizard::EndFileSystemScan() {
  fileSystem->SetBusy(false);
  std::optional<ScanResult> taken = std::exchange(jobResult_, std::nullopt);
  if (!taken) return;
  session_.params = taken->params;
  session_.result = std::move(taken);
  ShowResults();
}

// Workers.

ProgressPane* Wizard::PaneOf(Job job) const {
  return job == Job::kPartitionSearch ? drive->progress
         : job == Job::kFileSystemScan ? fileSystem->progress
                                       : partition->progress;
}

std::vector<QString> Wizard::CounterLabels(Job job) const {
  switch (job) {
    case Job::kQuickScan: return kQuickCounters;
    case Job::kExtensiveScan: {
      std::vector<QString> labels;
      for (const std::string& label : SearchCounterLabels(session_.searchedRange.fsType))
        labels.push_back(QString::fromStdString(label));
      return labels;
    }
    case Job::kTraceScan: return kTraceCounters;
    case Job::kFileSystemScan: return kExtractCounters;
    case Job::kPartitionSearch: return kPartitionSearchCounters;
    default: return {};
  }
}

std::vector<QString> Wizard::CounterValues(const ScanTally& counts) const {
  const auto number = [](std::uint64_t value) { return QString::number(value); };
  switch (job_) {
    case Job::kQuickScan:
      return {number(counts.folders), number(counts.files), number(counts.sector),
              QString::fromStdU16String(counts.lastName)};
    case Job::kExtensiveScan: {
      // The family's counts, then the sector the search is at.
      std::vector<QString> values;
      const std::size_t counted = SearchCounterLabels(session_.searchedRange.fsType).size() - 1;
      for (std::size_t i = 0; i < counted && i < counts.found.size(); ++i) values.push_back(number(counts.found[i]));
      values.push_back(number(counts.sector));
      return values;
    }
    case Job::kTraceScan: return {number(counts.sector), number(counts.files)};
    case Job::kFileSystemScan: return {number(counts.folders), number(counts.files)};
    case Job::kPartitionSearch: return {number(counts.files), number(counts.sector)};
    default: return {};
  }
}

void Wizard::StartJob(Job job, ScanWorker::Job body) {
  ProgressPane* pane = PaneOf(job);
  pane->SetLabels(CounterLabels(job));
  // On a small screen the pane can lie below the fold of its page's scroll
  // area: it is brought into view once the page is laid out with it.
  QTimer::singleShot(0, pane, [pane] {
    for (QWidget* up = pane->parentWidget(); up; up = up->parentWidget())
      if (auto* area = qobject_cast<QScrollArea*>(up)) {
        area->ensureWidgetVisible(pane, 0, 0);
        return;
      }
  });
  job_ = job;
  stopped_ = false;
  worker_.Start(std::move(body));
  poll_.start();
  Q_EMIT CommandsChanged();
}

void Wizard::Poll() {
  if (job_ == Job::kNone) {
    poll_.stop();
    return;
  }
  PaneOf(job_)->SetCounts(CounterValues(worker_.Counts()));
  if (worker_.Running() || !worker_.Finished()) return;
  poll_.stop();
  // A confirmed stop marks the work finished before the worker has left its
  // current step: wait for it before reading what it built.
  worker_.Join();
  worker_.Flush();
  const Job ended = job_;
  job_ = Job::kNone;
  switch (ended) {
    case Job::kPartitionSearch: EndPartitionSearch(); break;
    case Job::kQuickScan: EndQuickScan(); break;
    case Job::kExtensiveScan: EndExtensiveScan(); break;
    case Job::kFileSystemScan: EndFileSystemScan(); break;
    case Job::kTraceScan: EndTraceScan(); break;
    case Job::kNone: break;
  }
  Q_EMIT CommandsChanged();
}

void Wizard::OnProgress(const QString& text, int percent) {
  PaneOf(job_)->SetStatus(text, percent);
}

void Wizard::Stop() {
  if (!worker_.Running() || worker_.Finished()) return;
  worker_.Pause();
  const char* question = job_ == Job::kPartitionSearch  ? AppTexts::kStopPartitionSearch
                         : job_ == Job::kFileSystemScan ? AppTexts::kStopFileSystemScan
                                                        : AppTexts::kStopScan;
  if (messenger_.Ask(question)) {
    worker_.ConfirmStop();
    stopped_ = true;
    for (QPushButton* stop : {drive->buttons.stop, partition->buttons.stop, fileSystem->buttons.stop}) stop->hide();
  } else {
    worker_.Resume();
  }
}

void Wizard::StopAndWait() {
  if (job_ == Job::kNone) return;
  worker_.ConfirmStop();
  worker_.Join();
  poll_.stop();
  job_ = Job::kNone;
}

std::optional<Catalogue> Wizard::LoadTraceCatalogue() {
  const QString shown = QDir::toNativeSeparators(QFile::decodeName(cataloguePath.string().c_str()));
  std::optional<Catalogue> catalogue = LoadCatalogue(cataloguePath);
  // An empty list of types would leave nothing to choose and no reason why.
  if (!catalogue) {
    messenger_.Show(tr("File Trace cannot start: its list of file types, %1, is missing or cannot be read. "
                       "Installing the program again puts it back.")
                        .arg(shown),
                    MessageKind::kError);
  } else if (catalogue->categories.empty()) {
    messenger_.Show(tr("File Trace cannot start: its list of file types, %1, is damaged (it names no file type). "
                       "Installing the program again puts it back.")
                        .arg(shown),
                    MessageKind::kError);
    catalogue.reset();
  }
  return catalogue;
}

QString Wizard::DocumentPath() const {
  if (currentIndex() == kStart) return {};
  if (session_.snapshot && !snapshotPath_.isEmpty()) return snapshotPath_;
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
  if (!OfferSnapshot(SnapshotTexts::kSaveOnBack)) return false;
  const bool fromSnapshot = session_.snapshot.has_value();
  results->SetResult(nullptr, nullptr);
  session_.FreeResults();
  partition->progress->Reset();
  if (fromSnapshot) {
    // The snapshot was loaded on the drive page, or at start without an image.
    if (session_.ImageOpen()) {
      ModeText(false);
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
  ModeText(false);
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

// Saving.

void Wizard::Recover() {
  if (!session_.ResultsAvailable() || currentIndex() != kResults) return;
  const bool nothing = session_.traceTree ? session_.traceTree->Checked().empty()
                                          : session_.Tree()->CheckedFolders().empty() && session_.Tree()->CheckedFiles().empty();
  if (nothing) {
    messenger_.Show(AppTexts::kNothingMarked, MessageKind::kInformation);
    return;
  }
  if (session_.Tree()) {
    const SelectedFiles selected = CountSelected(session_.Store(), *session_.Tree(), session_.settings, session_.filter);
    if (selected.files == 0 && selected.filteredOut > 0) {
      messenger_.Show(tr("None of the %1 checked files matches the File Filters, so nothing would be saved.\n\n"
                         "Clear the filters (above the list) or check other files.")
                          .arg(selected.filteredOut),
                      MessageKind::kError);
      return;
    }
  }
  RunSave(std::nullopt);
}

void Wizard::SaveFound(std::vector<std::size_t> records) {
  if (!session_.Tree()) return;
  if (records.empty()) {
    messenger_.Show(AppTexts::kNothingMarked, MessageKind::kInformation);
    return;
  }
  RunSave(std::move(records));
}

void Wizard::RunSave(std::optional<std::vector<std::size_t>> records) {
  if (session_.snapshot && !EnsureSnapshotImage()) return;
  const QString folder = chooseDestination();
  if (folder.isEmpty()) return;
  session_.destination = QFile::encodeName(folder).toStdString();
  SaveProgressDialog dialog(session_, messenger_, this);
  if (records) dialog.SaveOnly(std::move(*records));
  dialog.exec();
}

void Wizard::SaveAll() {
  if (!session_.ResultsAvailable()) return;
  // Everything is saved, and the user's own checks come back afterwards.
  const std::optional<ResultTree> folderChecks =
      session_.Tree() ? std::optional<ResultTree>(*session_.Tree()) : std::nullopt;
  const std::optional<TraceTree> traceChecks = session_.traceTree;
  if (session_.traceTree)
    session_.traceTree->SetNode(TraceTree::kRoot, true);
  else
    session_.Tree()->CheckEverything();
  RefreshChecks();
  Recover();
  if (traceChecks) *session_.traceTree = *traceChecks;
  if (folderChecks) *session_.Tree() = *folderChecks;
  RefreshChecks();
}

void Wizard::RecoverFolder(std::size_t node) {
  if (session_.traceTree) {
    // A file type of File Trace, with its extensions below it.
    if (node >= session_.traceTree->Nodes().size()) return;
    const TraceTree checks = *session_.traceTree;
    session_.traceTree->SetNode(TraceTree::kRoot, false);
    session_.traceTree->SetNode(node, true);
    RefreshChecks();
    Recover();
    *session_.traceTree = checks;
    RefreshChecks();
    return;
  }
  if (!session_.Tree() || node >= session_.Tree()->Nodes().size()) return;
  const ResultTree checks = *session_.Tree();
  if (node == ResultTree::kRoot) {
    session_.Tree()->CheckEverything();
  } else {
    session_.Tree()->ClickFolderBox(ResultTree::kRoot);
    if (session_.Tree()->Node(ResultTree::kRoot).state != CheckState::kUnchecked)
      session_.Tree()->ClickFolderBox(ResultTree::kRoot);
    session_.Tree()->ClickFolderBox(node);
  }
  RefreshChecks();
  Recover();
  *session_.Tree() = checks;
  RefreshChecks();
}

void Wizard::RefreshChecks() {
  results->treeModel->RefreshChecks();
  results->listModel->RefreshChecks();
  results->traceTreeModel->RefreshChecks();
  results->traceListModel->RefreshChecks();
  results->UpdateSelectedSize();
}

}  // namespace dravik::app
