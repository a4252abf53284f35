// The wizard's File Trace: the types asked for, the signature scan of the
// chosen partition on the worker, and its found files on the results page.

#include "app/AppTexts.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/Wizard.h"
#include "fs/FsParamsReader.h"
#include "raw/CarveWriter.h"
#include "raw/CompoundFile.h"

namespace dravik::app {

void Wizard::StartTraceScan(int partitionIndex) {
  if (session_.partitions.Empty()) {
    messenger_.Show(AppTexts::kTraceDamaged, MessageKind::kInformation);
    Home();
    return;
  }
  if (partitionIndex < 0) {
    messenger_.Show(AppTexts::kTraceNoPartitionSelected, MessageKind::kInformation);
    return;
  }
  const std::optional<TraceChoice> choice = chooseTraceTypes(session_.lastCarveSizeMiB);
  if (!choice) return;
  const PartitionEntry entry = session_.partitions.Entries()[static_cast<std::size_t>(partitionIndex)];
  session_.FreeResults();
  session_.traceChoice = *choice;
  session_.lastCarveSizeMiB = choice->carveSizeMiB;
  traceResult_.reset();
  partition->progress->Reset();
  partition->progress->SetStatus(AppTexts::kSearchingLostData, 0);
  partition->SetBusy(true);
  session_.scanStarted = true;
  StartJob(Job::kTraceScan, [this, entry](ScanControl& control) {
    TraceOutcome outcome;
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
    traceResult_ = std::move(outcome);
  });
}

void Wizard::EndTraceScan() {
  partition->SetBusy(false);
  std::optional<TraceOutcome> taken = std::exchange(traceResult_, std::nullopt);
  if (!taken || !taken->tree) {
    session_.FreeResults();
    if (!stopped_) messenger_.Show(AppTexts::kNoParams, MessageKind::kError);
    Home();
    return;
  }
  session_.params = taken->params;
  // The tree refers to the files' elements, which the move leaves in place.
  session_.traced = std::move(taken->files);
  session_.traceTree = std::move(taken->tree);
  results->SetTraceResult(&*session_.traceTree);
  ShowPage(kResults);
  if (session_.traced.empty())
    messenger_.Show(tr("No file of the chosen types was found in the partition."), MessageKind::kInformation);
  else if (taken->hitsInside > 0)
    messenger_.Show(tr("%n hit(s) inside files found before them left out.", nullptr,
                       static_cast<int>(taken->hitsInside)),
                    MessageKind::kInformation);
}

}  // namespace dravik::app
