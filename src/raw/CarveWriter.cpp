#include "raw/CarveWriter.h"

#include <algorithm>

#include "disk/SectorReader.h"
#include "raw/CarveEnd.h"
#include "save/SafeName.h"
#include "save/SaveDriver.h"
#include "util/Utf.h"

namespace dravik {

namespace {

constexpr std::uint64_t kSectorsPerMiB = 2048;
// The sectors read, one after the other, when looking for a found file's
// end before the whole carve is: 64 KiB.
constexpr std::uint32_t kTrySectors[] = {128};

// The context with the deleted setting lifted: it sorts live from deleted
// files, which found files are neither.
struct CarveContext {
  RecoverySettings settings;
  SaveContext context;
  explicit CarveContext(const SaveContext& base)
      : settings(base.settings),
        context{base.reader, base.params, settings, base.filter, base.control, base.image} {
    settings.deleted = DeletedMode::kInclude;
  }
};

// The bytes to write: up to the end the file's format records within the
// carved sectors, else all of them.
std::uint64_t TrimmedSize(const SaveContext& context, const FoundFile& file, std::uint64_t held,
                          std::uint64_t sectors) {
  const std::uint64_t whole = sectors * kSectorSize;
  if (!HasEndRule(file.extension)) return whole;
  std::vector<std::uint8_t> carved(static_cast<std::size_t>(whole), 0);
  context.reader.Read(file.firstSector, static_cast<std::uint32_t>(held),
                      std::span(carved).first(static_cast<std::size_t>(held * kSectorSize)));
  return CarvedFileEnd(file.extension, carved).value_or(whole);
}

}  // namespace

std::size_t DropHitsInsideFoundFiles(const SectorReader& reader, std::vector<FoundFile>& files,
                                     std::uint32_t carveSizeMiB) {
  const std::uint64_t sectors = std::uint64_t{carveSizeMiB} * kSectorsPerMiB;
  const std::uint64_t disk = reader.SectorCount();
  std::vector<std::uint8_t> carved;
  std::vector<FoundFile> kept;
  std::uint64_t coveredUntil = 0;  // the first sector past the last file whose end is known
  // The end by the file's rule: most files are small, so their first bytes
  // are tried before the whole carve is read. An end found well before the
  // bytes run out is the one the whole carve gives (see CarveEnd.h).
  const auto endOf = [&](const FoundFile& file, std::uint64_t held) {
    // The buffer only grows: every byte used is read over first, or zeroed
    // where the read fails, as a fresh buffer would be.
    const auto read = [&](std::uint64_t count) {
      const auto bytes = static_cast<std::size_t>(count * kSectorSize);
      if (carved.size() < bytes) carved.resize(bytes);
      const std::span<std::uint8_t> part = std::span(carved).first(bytes);
      if (!reader.Read(file.firstSector, static_cast<std::uint32_t>(count), part))
        std::fill(part.begin(), part.end(), std::uint8_t{0});
      return Bytes(part);
    };
    for (const std::uint32_t first : kTrySectors) {
      if (held <= first || !EndFoundFromTheStart(file.extension)) break;
      const Bytes part = read(first);
      const auto end = CarvedFileEnd(file.extension, part);
      if (end && *end + kEndLookAhead <= part.size()) return end;
    }
    return CarvedFileEnd(file.extension, read(held));
  };
  for (FoundFile& file : files) {
    if (file.firstSector < coveredUntil) continue;
    if (HasEndRule(file.extension) && file.firstSector < disk) {
      if (const auto end = endOf(file, std::min(sectors, disk - file.firstSector)))
        coveredUntil = file.firstSector + (*end + kSectorSize - 1) / kSectorSize;
    }
    kept.push_back(std::move(file));
  }
  const std::size_t dropped = files.size() - kept.size();
  for (std::size_t i = 0; dropped > 0 && i < kept.size(); ++i) {
    kept[i].fileNumber = static_cast<std::uint32_t>(i + 1);
    kept[i].name = FromUtf8(std::to_string(i + 1)) + kept[i].extension;
  }
  files = std::move(kept);
  return dropped;
}

FileOutcome ExtractCarvedFile(const SaveContext& base, const std::filesystem::path& folder, const FoundFile& file,
                              std::uint32_t carveSizeMiB, bool forSave, std::u16string& name) {
  const CarveContext carve(base);
  const SaveContext& context = carve.context;
  if (context.control.StopRequested()) return FileOutcome::kInterrupted;
  context.control.ClearSkip();
  const Destination destination = ChooseDestination(context, folder, name, forSave, false);
  if (destination.choice != Destination::Choice::kWrite) return CountRefused(context, destination);
  const std::filesystem::path& path = destination.path;
  if (forSave) context.control.Begin(path, name);
  int error = 0;
  auto output = OutputFile::Create(path, error);
  if (!output) return CountNotCreated(context, path, error);
  const std::uint64_t sectors = std::uint64_t{carveSizeMiB} * kSectorsPerMiB;
  const std::uint64_t disk = context.reader.SectorCount();
  const std::uint64_t held = file.firstSector < disk ? std::min(sectors, disk - file.firstSector) : 0;
  std::vector<SectorRun> runs;
  if (held > 0) runs.push_back({file.firstSector, held});
  if (held < sectors) runs.push_back({std::nullopt, sectors - held});
  const std::uint64_t size =
      context.settings.trimCarved ? TrimmedSize(context, file, held, sectors) : sectors * kSectorSize;
  const CopiedBytes copied = CopySectorRuns(context, *output, runs, size, forSave);
  const int writeError = output->Close();
  // A carved file has no recorded time: it keeps the time of saving.
  return EndFile(context, path, {copied.written, size, writeError, copied.unreadable, std::nullopt});
}

SaveSummary SaveCarvedFiles(const SaveContext& context, std::span<const FoundFile> files,
                            const std::unordered_set<std::uint32_t>& checked, std::uint32_t carveSizeMiB,
                            const std::filesystem::path& destination) {
  // Without the destination nothing can be written: every checked file fails.
  if (const auto failure = MakeFolderPath(destination)) {
    context.control.RecordFolderFailure(*failure);
    for (const FoundFile& file : files)
      if (checked.count(file.fileNumber) != 0)
        context.control.CountFailed({destination / PathFromName(SafeFileName(file.name)), failure->error,
                                     SaveFailure::Step::kNoFolder, 0});
    return context.control.Summary();
  }
  for (const FoundFile& file : files) {
    if (context.control.StopRequested()) break;
    if (checked.count(file.fileNumber) == 0) continue;
    std::u16string name = file.name;
    ExtractCarvedFile(context, destination, file, carveSizeMiB, true, name);
  }
  return context.control.Summary();
}

}  // namespace dravik
