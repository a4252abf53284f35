#include "app/wizard/QuickScanController.h"

#include <utility>

#include "app/AppTexts.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/Wizard.h"
#include "fs/QuickScan.h"

namespace dravik::app {

QuickScanController::QuickScanController(Wizard& wizard)
    : wizard_(wizard), session_(wizard.session()) {}

void QuickScanController::Start(int partitionIndex) {
  if (partitionIndex < 0) {
    wizard_.messenger().Show(AppTexts::kNoPartitionSelected, MessageKind::kInformation);
    return;
  }
  const PartitionEntry entry = session_.partitions.Entries()[static_cast<std::size_t>(partitionIndex)];
  PartitionPage* partition = wizard_.partition;
  session_.FreeResults();
  result_.reset();
  partition->progress->Reset();
  partition->SetBusy(true);
  session_.scanStarted = true;
  const auto number = [](std::uint64_t value) { return QString::number(value); };
  JobRunner::Job job{partition->progress,
                     {AppTexts::kFoldersFound, AppTexts::kFilesFound, AppTexts::kCurrentSector, AppTexts::kLastItem},
                     [number](const ScanTally& counts) -> std::vector<QString> {
                       return {number(counts.folders), number(counts.files), number(counts.sector),
                               QString::fromStdU16String(counts.lastName)};
                     },
                     AppTexts::kStopScan,
                     [this] { End(); }};
  wizard_.jobs().Start(std::move(job), [this, entry](ScanControl& control) {
    result_ = ScanPartition(session_.reader, entry, control);
  });
}

void QuickScanController::End() {
  Messenger& messenger = wizard_.messenger();
  wizard_.partition->SetBusy(false);
  std::optional<ScanResult> taken = std::exchange(result_, std::nullopt);
  const bool scanned = taken && taken->Usable();
  // Stopped before the parameters were read: an empty result, not a damaged partition.
  if (!scanned && !wizard_.jobs().Stopped()) {
    session_.FreeResults();
    messenger.Show(AppTexts::kNoParams, MessageKind::kError);
    wizard_.Home();
    return;
  }
  if (taken) session_.params = taken->params;
  if (!taken || !taken->Found()) {
    session_.FreeResults();
    messenger.Show(QuickScanTexts::kNothingFound, MessageKind::kNotice);
    session_.scanStarted = false;
    wizard_.Home();
    return;
  }
  session_.result = std::move(taken);
  wizard_.ShowResults();
  messenger.Show(QuickScanTexts::kFound, MessageKind::kInformation);
  const auto& notReadWhole = session_.result->foldersNotReadWhole;
  if (!notReadWhole.empty()) messenger.Show(FoldersNotReadWholeText(notReadWhole), MessageKind::kError);
}

// Files in the part of a folder's listing the image could not give are not
// known, so no save report can name them: the folders are named instead.
QString QuickScanController::FoldersNotReadWholeText(const std::vector<std::u16string>& folders) {
  constexpr std::size_t kShown = 10;
  QString text = tr("%n folder(s) could not be read whole; files in them may be missing:", nullptr,
                    static_cast<int>(folders.size()));
  for (std::size_t i = 0; i < folders.size() && i < kShown; ++i)
    text += QStringLiteral("\n") + QString::fromStdU16String(folders[i]);
  if (folders.size() > kShown)
    text += tr("\n… and %n more", nullptr, static_cast<int>(folders.size() - kShown));
  return text;
}

}  // namespace dravik::app
