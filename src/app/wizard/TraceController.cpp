#include "app/wizard/TraceController.h"

#include <QDir>
#include <QFile>
#include <utility>

#include "app/AppTexts.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/Wizard.h"
#include "fs/FsParamsReader.h"
#include "raw/CarveWriter.h"
#include "raw/CompoundFile.h"

namespace dravik::app {

TraceController::TraceController(Wizard& wizard) : wizard_(wizard), session_(wizard.session()) {}

std::optional<Catalogue> TraceController::LoadCatalogue() {
  const std::filesystem::path& file = wizard_.cataloguePath;
  const QString shown = QDir::toNativeSeparators(QFile::decodeName(file.string().c_str()));
  std::optional<Catalogue> catalogue = dravik::LoadCatalogue(file);
  // An empty list of types would leave nothing to choose and no reason why.
  if (!catalogue) {
    wizard_.messenger().Show(tr("File Trace cannot start: its list of file types, %1, is missing or cannot be read. "
                                "Installing the program again puts it back.")
                                 .arg(shown),
                             MessageKind::kError);
  } else if (catalogue->categories.empty()) {
    wizard_.messenger().Show(
        tr("File Trace cannot start: its list of file types, %1, is damaged (it names no file type). "
           "Installing the program again puts it back.")
            .arg(shown),
        MessageKind::kError);
    catalogue.reset();
  }
  return catalogue;
}

void TraceController::Start(int partitionIndex) {
  Messenger& messenger = wizard_.messenger();
  if (session_.partitions.Empty()) {
    messenger.Show(AppTexts::kTraceDamaged, MessageKind::kInformation);
    wizard_.Home();
    return;
  }
  if (partitionIndex < 0) {
    messenger.Show(AppTexts::kTraceNoPartitionSelected, MessageKind::kInformation);
    return;
  }
  const std::optional<TraceChoice> choice = wizard_.chooseTraceTypes(session_.lastCarveSizeMiB);
  if (!choice) return;
  const PartitionEntry entry = session_.partitions.Entries()[static_cast<std::size_t>(partitionIndex)];
  PartitionPage* partition = wizard_.partition;
  session_.FreeResults();
  session_.traceChoice = *choice;
  session_.lastCarveSizeMiB = choice->carveSizeMiB;
  outcome_.reset();
  partition->progress->Reset();
  partition->progress->SetStatus(AppTexts::kSearchingLostData, 0);
  partition->SetBusy(true);
  session_.scanStarted = true;
  const auto number = [](std::uint64_t value) { return QString::number(value); };
  JobRunner::Job job{partition->progress,
                     {AppTexts::kCurrentSector, AppTexts::kFilesFound},
                     [number](const ScanTally& counts) -> std::vector<QString> {
                       return {number(counts.sector), number(counts.files)};
                     },
                     AppTexts::kStopScan,
                     [this] { End(); }};
  wizard_.jobs().Start(std::move(job), [this, entry](ScanControl& control) { Scan(entry, control); });
}

void TraceController::Scan(const PartitionEntry& entry, ScanControl& control) {
  Outcome outcome;
  outcome.params = FsParams::ForPartition(entry);
  if (!ReadFsParams(session_.reader, outcome.params, control)) return;
  control.Report(TraceTexts::kSearching);
  const SectorReader& reader = session_.reader;
  outcome.files =
      ScanSignatures(reader, outcome.params.partitionStart, outcome.params.lastSector, session_.traceChoice.groups,
                     [&reader](std::uint64_t sector) { return DetermineOfficeKind(reader, sector); }, control);
  // A stop asks for the hits so far at once: they are listed as found.
  if (session_.settings.skipHitsInsideFound && !control.StopRequested())
    outcome.hitsInside = DropHitsInsideFoundFiles(reader, outcome.files, session_.traceChoice.carveSizeMiB);
  outcome.tree.emplace(TraceTree::Build(outcome.files));
  outcome_ = std::move(outcome);
}

void TraceController::End() {
  Messenger& messenger = wizard_.messenger();
  wizard_.partition->SetBusy(false);
  std::optional<Outcome> taken = std::exchange(outcome_, std::nullopt);
  if (!taken || !taken->tree) {
    session_.FreeResults();
    if (!wizard_.jobs().Stopped()) messenger.Show(AppTexts::kNoParams, MessageKind::kError);
    wizard_.Home();
    return;
  }
  session_.params = taken->params;
  // The tree refers to the files' elements, which the move leaves in place.
  session_.traced = std::move(taken->files);
  session_.traceTree = std::move(taken->tree);
  wizard_.results->SetTraceResult(&*session_.traceTree);
  wizard_.ShowPage(Wizard::kResults);
  if (session_.traced.empty())
    messenger.Show(tr("No file of the chosen types was found in the partition."), MessageKind::kInformation);
  else if (taken->hitsInside > 0)
    messenger.Show(tr("%n hit(s) inside files found before them left out.", nullptr,
                      static_cast<int>(taken->hitsInside)),
                   MessageKind::kInformation);
}

}  // namespace dravik::app
