#include "fs/fat/FatFileWriter.h"

#include <algorithm>

#include "disk/SectorReader.h"
#include "fs/fat/FatTable.h"
#include "save/FileTimes.h"

namespace dravik {

namespace {

// Consecutive clusters become one run, so they are read in large pieces.
std::vector<SectorRun> RunsOfClusters(const FsParams& params, const std::vector<std::uint32_t>& clusters) {
  std::vector<SectorRun> runs;
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    if (i > 0 && clusters[i] == clusters[i - 1] + 1) {
      runs.back().sectors += params.sectorsPerCluster;
      continue;
    }
    runs.push_back({fat::ClusterSector(params, clusters[i]), params.sectorsPerCluster});
  }
  return runs;
}

}  // namespace

FileOutcome ExtractFatFile(const SaveContext& context, const std::filesystem::path& folder, const FileRecord& file,
                           bool forSave, std::u16string& name) {
  if (context.control.StopRequested()) return FileOutcome::kInterrupted;
  context.control.ClearSkip();
  const Destination destination = ChooseDestination(context, folder, name, forSave, file.deleted);
  if (destination.choice != Destination::Choice::kWrite) return CountRefused(context, destination);
  const std::filesystem::path& path = destination.path;
  if (forSave) context.control.Begin(path, name);
  int error = 0;
  auto output = OutputFile::Create(path, error);
  if (!output) return CountNotCreated(context, path, error);
  const auto clusters = fat::FileClusters(context.reader, context.params, static_cast<std::uint32_t>(file.locator), file.size, file.deleted);
  // A size beyond the clusters the file has is a damaged entry: the file is
  // written only as far as its clusters go, and named as incomplete.
  const std::uint64_t held = clusters.size() * std::uint64_t{context.params.sectorsPerCluster} * kSectorSize;
  const std::uint64_t size = std::min<std::uint64_t>(file.size, held);
  const CopiedBytes copied = CopySectorRuns(context, *output, RunsOfClusters(context.params, clusters), size, forSave);
  const int writeError = output->Close();
  const SavedTimes times{AccessedMoment(file.times), ModifiedMoment(file.times)};
  return EndFile(context, path, {copied.written, size, writeError, copied.unreadable + (file.size - size), times});
}

}  // namespace dravik
