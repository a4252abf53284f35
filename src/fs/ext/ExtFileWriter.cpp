#include "fs/ext/ExtFileWriter.h"

#include <algorithm>

#include "disk/SectorReader.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/JournalInodes.h"
#include "save/FileTimes.h"

namespace dravik {

namespace {

// The sector runs of a file map up to size bytes, holes between and after
// its runs included. Runs that overlap one before them are left out.
std::vector<SectorRun> SectorRunsOf(const ext::ExtVolume& volume, std::vector<ext::MappedRun> runs,
                                    std::uint64_t size) {
  std::sort(runs.begin(), runs.end(),
            [](const ext::MappedRun& a, const ext::MappedRun& b) { return a.logical < b.logical; });
  const std::uint64_t blockSectors = volume.Super().BlockSectors();
  const std::uint64_t blockSize = volume.Super().blockSize;
  const std::uint64_t endBlock = (size + blockSize - 1) / blockSize;
  std::vector<SectorRun> out;
  std::uint64_t next = 0;
  for (const ext::MappedRun& run : runs) {
    if (run.logical < next) continue;
    if (run.logical >= endBlock) break;
    if (run.logical > next) out.push_back({std::nullopt, (run.logical - next) * blockSectors});
    const std::uint64_t count = std::min(run.count, endBlock - run.logical);
    out.push_back({volume.Blocks().SectorOf(run.physical), count * blockSectors});
    next = run.logical + count;
  }
  if (next < endBlock) out.push_back({std::nullopt, (endBlock - next) * blockSectors});
  return out;
}

FileOutcome Damaged(const SaveContext& context, const std::filesystem::path& path, const FileRecord& file) {
  context.control.CountFailed({path, 0, SaveFailure::Step::kDamaged, file.size});
  return FileOutcome::kFailed;
}

}  // namespace

FileOutcome ExtractExtFile(const SaveContext& context, const ext::ExtVolume* volume, const ext::Journal* journal,
                           const std::filesystem::path& folder, const FileRecord& file, bool forSave,
                           std::u16string& name) {
  if (context.control.StopRequested()) return FileOutcome::kInterrupted;
  context.control.ClearSkip();
  const Destination destination = ChooseDestination(context, folder, name, forSave, file.deleted);
  if (destination.choice != Destination::Choice::kWrite) return CountRefused(context, destination);
  const std::filesystem::path& path = destination.path;
  if (volume == nullptr) return Damaged(context, path, file);
  const std::uint32_t number = ext::InodeOfLocator(file.locator);
  const std::uint32_t journalBlock = ext::JournalBlockOfLocator(file.locator);
  std::optional<ext::Inode> inode;
  if (journalBlock == 0)
    inode = volume->ReadInode(number);
  else if (journal != nullptr)
    inode = ext::InodeFromJournal(*volume, *journal, number, journalBlock);
  // A deleted file's inode and extent tree are trusted only where their
  // checksums hold (as the scan that listed it); a live file is read as it is.
  const bool guessed = file.deleted || journalBlock != 0;
  if (!inode || (guessed && !volume->InodeChecksumHolds(*inode))) return Damaged(context, path, file);

  std::optional<std::vector<std::uint8_t>> inInode;
  std::vector<SectorRun> runs;
  if (ext::ExtVolume::KeepsBytesInInode(*inode)) {
    inInode = volume->BytesInInode(*inode);
    if (!inInode || inInode->size() < file.size) return Damaged(context, path, file);
  } else {
    const ext::FileMap map =
        journalBlock == 0 ? volume->Map(*inode) : ext::MapFromJournal(*volume, *journal, *inode, journalBlock);
    if (map.damaged || (guessed && map.checksumFails)) return Damaged(context, path, file);
    runs = SectorRunsOf(*volume, map.runs, file.size);
  }

  if (forSave) context.control.Begin(path, name);
  int error = 0;
  auto output = OutputFile::Create(path, error);
  if (!output) return CountNotCreated(context, path, error);
  CopiedBytes copied;
  if (inInode) {
    if (output->Write(inInode->data(), static_cast<std::size_t>(file.size))) copied.written = file.size;
  } else {
    copied = CopySectorRuns(context, *output, runs, file.size, forSave);
  }
  const int writeError = output->Close();
  const SavedTimes times{AccessedMoment(file.times), ModifiedMoment(file.times)};
  return EndFile(context, path, {copied.written, file.size, writeError, copied.unreadable, times});
}

}  // namespace dravik
