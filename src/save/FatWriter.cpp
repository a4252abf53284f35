#include "save/FatWriter.h"

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

bool ExtractFatFile(const SaveContext& context, const std::filesystem::path& folder, const FatFileRecord& file,
                    bool forSave, std::u16string& name) {
  if (context.control.StopRequested()) return false;
  context.control.ClearSkip();
  const auto path = ChooseDestination(context, folder, name, forSave, file.deleted);
  if (!path) return false;
  auto output = OutputFile::Create(*path);
  if (!output) return true;
  if (forSave) context.control.Begin(*path, name);
  const auto clusters = fat::FileClusters(context.reader, context.params, file.firstCluster, file.size);
  CopySectorRuns(context, *output, RunsOfClusters(context.params, clusters), file.size, forSave);
  output->Close();
  ApplyFatDate(*path, file.date1);
  return true;
}

}  // namespace dravik
