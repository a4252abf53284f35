#include "app/wizard/ExtensiveScanController.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>
#include <algorithm>
#include <utility>

#include "app/AppTexts.h"
#include "app/wizard/FileSystemPage.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/Wizard.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/ScanRange.h"

namespace dravik::app {

namespace {

QString Number(std::uint64_t value) { return QString::number(value); }

}  // namespace

ExtensiveScanController::ExtensiveScanController(Wizard& wizard)
    : wizard_(wizard), session_(wizard.session()) {}

void ExtensiveScanController::StartSearch(int partitionIndex) {
  PartitionPage* partition = wizard_.partition;
  // A VHD or a raw disk may be searched whole without a partition chosen.
  if (session_.imageKind == ImageKind::kVhdx && partitionIndex < 0 && partition->partitions->currentItem() == nullptr) {
    wizard_.messenger().Show(AppTexts::kNoPartitionSelected, MessageKind::kInformation);
    return;
  }
  const auto fsType = partition->fileSystem->currentData().value<std::uint16_t>();
  const QString endText = partition->endSector->text().trimmed();
  const ScanRange range =
      CheckScanRange(partition->startSector->text().trimmed().toStdString(),
                     endText.isEmpty() ? std::nullopt : std::optional<std::string>(endText.toStdString()),
                     session_.reader.SectorCount());
  if (!range.Usable()) {
    wizard_.messenger().Show(QString::fromStdString(range.message), MessageKind::kError);
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
  wizard_.fileSystem->hint->setText(QString::fromLatin1(AppTexts::kFileSystemHint).trimmed());
  session_.scanStarted = true;

  // The family's counters, then the sector the search is at.
  std::vector<QString> labels;
  for (const std::string& label : SearchCounterLabels(fsType)) labels.push_back(QString::fromStdString(label));
  const std::size_t counted = labels.size() - 1;
  JobRunner::Job job{partition->progress, std::move(labels),
                     [counted](const ScanTally& counts) {
                       std::vector<QString> values;
                       for (std::size_t i = 0; i < counted && i < counts.found.size(); ++i)
                         values.push_back(Number(counts.found[i]));
                       values.push_back(Number(counts.sector));
                       return values;
                     },
                     AppTexts::kStopScan, [this] { EndSearch(); }};
  const std::uint32_t block = session_.settings.sectorsPerRead;
  wizard_.jobs().Start(std::move(job), [this, fsType, range, block](ScanControl& control) {
    RunExtensiveScan(session_.reader, fsType, range.start, range.sectors, block, found_, control);
  });
}

void ExtensiveScanController::EndSearch() {
  wizard_.partition->SetBusy(false);
  session_.findings = std::move(found_);
  found_.Clear();
  ListFoundVolumes();
  wizard_.ShowPage(Wizard::kFileSystem);
  FileSystemPage* page = wizard_.fileSystem;
  if (session_.findings.fileSystems.empty()) {
    page->hint->setText(AppTexts::kNoFileSystemHint);
    wizard_.messenger().Show(ExtensiveTexts::kNoneFoundMessage, MessageKind::kError);
  } else {
    page->list->setCurrentItem(page->list->topLevelItem(0));
  }
}

void ExtensiveScanController::ListFoundVolumes() {
  QTreeWidget* list = wizard_.fileSystem->list;
  list->clear();
  for (std::size_t i = 0; i < session_.findings.fileSystems.size(); ++i) {
    const FoundFileSystem& found = session_.findings.fileSystems[i];
    auto* item = new QTreeWidgetItem(list, {QString::fromStdString(found.Label()), QString::number(found.Start()),
                                            QString::number(found.fsEnd),
                                            QStringLiteral("%1 bytes").arg(found.sectorsPerCluster * kSectorSize)});
    // The item's number (from 1) is the one the extraction is asked for.
    item->setData(0, Qt::UserRole, static_cast<int>(i + 1));
  }
}

void ExtensiveScanController::StartExtraction() {
  FileSystemPage* page = wizard_.fileSystem;
  const int number = page->Selected();
  if (number <= 0) {
    wizard_.messenger().Show(AppTexts::kNoFileSystemSelected, MessageKind::kInformation);
    return;
  }
  session_.FreeResults();
  page->progress->Reset();
  page->SetBusy(true);
  session_.scanStarted = true;
  JobRunner::Job job{page->progress,
                     {AppTexts::kFoldersFound, AppTexts::kFilesFound},
                     [](const ScanTally& counts) -> std::vector<QString> {
                       return {Number(counts.folders), Number(counts.files)};
                     },
                     AppTexts::kStopFileSystemScan,
                     [this] { EndExtraction(); }};
  wizard_.jobs().Start(std::move(job), [this, number](ScanControl& control) {
    extracted_ = ExtractFoundFileSystem(session_.reader, session_.findings, static_cast<std::uint16_t>(number),
                                        session_.searchedRange, control);
  });
}

void ExtensiveScanController::EndExtraction() {
  wizard_.fileSystem->SetBusy(false);
  std::optional<ScanResult> taken = std::exchange(extracted_, std::nullopt);
  if (!taken) return;
  session_.params = taken->params;
  session_.result = std::move(taken);
  wizard_.ShowResults();
}

}  // namespace dravik::app
