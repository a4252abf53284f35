#include "fs/ntfs/NtfsFileWriter.h"

#include <algorithm>
#include <map>

#include "disk/SectorReader.h"
#include "fs/ntfs/Lznt1.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/MftRuns.h"
#include "fs/ntfs/RunList.h"
#include "save/FileTimes.h"

namespace dravik {

namespace {

using namespace ntfs;

constexpr std::size_t kResidentLimit = 1023;

struct FileData {
  bool resident = false;
  std::vector<std::uint8_t> value;
  DecodedRuns runs;
  std::uint64_t initializedSize = 0;
  bool compressed = false;
  std::uint32_t unitClusters = 0;
  bool damaged = false;  // the record no longer describes the data
};

// The runs of the data spread over the records of the base record's
// attribute list, in VCN order; none when there is nothing beyond the first.
std::optional<DecodedRuns> RunsAcrossRecords(const SaveContext& context, const MftRunTable* mftRuns, Bytes record) {
  if (!mftRuns) return std::nullopt;
  std::vector<std::uint8_t> base(record.begin(), record.end());
  if (const std::uint32_t number = BaseRecordNumber(record); number != 0 && !mftRuns->ReadRecord(context.reader, number, base))
    return std::nullopt;
  const auto listed = AttributeListRecords(context.reader, context.params, base, kData);
  if (listed.size() < 2) return std::nullopt;
  std::map<std::uint64_t, DecodedRuns> pieces;
  std::vector<std::uint8_t> other;
  for (const std::uint32_t number : listed) {
    if (!mftRuns->ReadRecord(context.reader, number, other)) continue;
    const auto data = FindData(other);
    if (data && !data->resident) pieces.emplace(data->firstVcn, DecodeRunList(data->runList));
  }
  if (pieces.size() < 2 || pieces.begin()->first != 0) return std::nullopt;
  DecodedRuns all;
  std::uint64_t nextVcn = 0;
  for (auto& [vcn, piece] : pieces) {
    if (vcn != nextVcn) break;  // a piece is missing: what follows cannot be placed
    for (const Run& run : piece.runs) nextVcn += run.clusters;
    all.runs.insert(all.runs.end(), piece.runs.begin(), piece.runs.end());
    all.ok = all.ok && piece.ok;
  }
  return all;
}

// The file's data as its record describes it; none when the record has no
// data attribute (nothing to write).
std::optional<FileData> LocateData(const SaveContext& context, const MftRunTable* mftRuns, std::uint64_t recordLba) {
  std::vector<std::uint8_t> record(kRecordSize, 0);
  FileData file;
  context.reader.Read(recordLba, kRecordSectors, record);
  if (!IsRecord(record)) {
    file.damaged = true;
    return file;
  }
  ApplyFixup(record);
  const auto data = FindData(record);
  if (!data) return std::nullopt;
  file.resident = data->resident;
  if (data->resident) {
    if (data->offset + le16(record, data->offset + kAttrValueOffsetOffset) + data->size > kResidentLimit) {
      file.damaged = true;
      return file;
    }
    file.value.assign(data->value.begin(), data->value.end());
    return file;
  }
  file.initializedSize = data->initializedSize;
  file.compressed = data->compressed && data->compressionUnitClusters > 0;
  file.unitClusters = data->compressionUnitClusters;
  auto across = data->firstVcn == 0 ? RunsAcrossRecords(context, mftRuns, record) : std::nullopt;
  file.runs = across ? std::move(*across) : DecodeRunList(data->runList);
  const std::size_t decoded = file.runs.runs.size();
  file.runs.runs = RunsWithinVolume(file.runs.runs, context.params.VolumeClusters(context.reader.SectorCount()));
  file.runs.ok = file.runs.ok && file.runs.runs.size() == decoded;
  return file;
}

std::vector<SectorRun> SectorRunsOf(const FsParams& params, const std::vector<Run>& runs) {
  std::vector<SectorRun> sectors;
  for (const Run& run : runs) {
    SectorRun s;
    if (run.firstCluster) s.firstSector = params.clusterBase + *run.firstCluster * params.sectorsPerCluster;
    s.sectors = run.clusters * params.sectorsPerCluster;
    sectors.push_back(s);
  }
  return sectors;
}

// The cluster of each VCN of a compression unit (none where sparse or past
// the runs), walking the runs with a cursor.
class VcnCursor {
 public:
  explicit VcnCursor(const std::vector<Run>& runs) : runs_(runs) {}
  bool Next(std::optional<std::uint64_t>& cluster) {
    while (run_ < runs_.size() && inRun_ >= runs_[run_].clusters) {
      ++run_;
      inRun_ = 0;
    }
    if (run_ == runs_.size()) return false;
    const Run& r = runs_[run_];
    cluster = r.firstCluster ? std::optional<std::uint64_t>(*r.firstCluster + inRun_) : std::nullopt;
    ++inRun_;
    return true;
  }

 private:
  const std::vector<Run>& runs_;
  std::size_t run_ = 0;
  std::uint64_t inRun_ = 0;
};

// Compressed data: each unit whose clusters are all on disk is stored as it
// is; a unit with sparse clusters holds LZNT1 data in the clusters it has; a
// unit without clusters is zeros. Returns the bytes written (fewer than size
// after a stop or skip request, a failed write, or where the runs end), and
// as unreadable the whole of every unit a cluster of which could not be read.
CopiedBytes CopyCompressed(const SaveContext& context, OutputFile& out, const FileData& data, std::uint64_t size,
                           bool forSave) {
  const std::uint64_t clusterBytes = std::uint64_t{context.params.sectorsPerCluster} * kSectorSize;
  const std::size_t unitBytes = static_cast<std::size_t>(clusterBytes * data.unitClusters);
  std::vector<std::uint8_t> stored(unitBytes);
  std::vector<std::uint8_t> unit(unitBytes);
  VcnCursor cursor(data.runs.runs);
  CopiedBytes result;
  std::uint64_t& written = result.written;
  while (written < size) {
    if (context.control.StopRequested() || context.control.SkipRequested()) return result;
    if (forSave) context.control.ReportWritten(written, size);
    std::size_t present = 0;
    std::uint32_t inUnit = 0;
    std::optional<std::uint64_t> cluster;
    bool unreadable = false;
    for (; inUnit < data.unitClusters && cursor.Next(cluster); ++inUnit) {
      if (!cluster) continue;
      const std::span<std::uint8_t> target(stored.data() + present * clusterBytes, clusterBytes);
      const std::uint64_t first = context.params.clusterBase + *cluster * context.params.sectorsPerCluster;
      if (!context.reader.Read(first, context.params.sectorsPerCluster, target))
        unreadable = CountUnreadableBytes(context, first, context.params.sectorsPerCluster, clusterBytes) > 0;
      ++present;
    }
    if (inUnit == 0) return result;  // the runs end before the size: the file comes out short
    const std::uint64_t bytes = std::min<std::uint64_t>(unitBytes, size - written);
    if (present == 0) {
      out.Skip(bytes);
    } else if (present == data.unitClusters) {
      if (!out.Write(stored.data(), static_cast<std::size_t>(bytes))) return result;
    } else {
      std::fill(unit.begin(), unit.end(), std::uint8_t{0});
      DecompressLznt1(Bytes(stored.data(), present * clusterBytes), unit);
      if (!out.Write(unit.data(), static_cast<std::size_t>(bytes))) return result;
    }
    if (unreadable) result.unreadable += bytes;
    written += bytes;
  }
  return result;
}

}  // namespace

FileOutcome ExtractNtfsFile(const SaveContext& context, const MftRunTable* mftRuns,
                            const std::filesystem::path& folder, const FileRecord& file, bool forSave,
                            std::u16string& name) {
  if (context.control.StopRequested()) return FileOutcome::kInterrupted;
  context.control.ClearSkip();
  const Destination destination = ChooseDestination(context, folder, name, forSave, file.deleted);
  if (destination.choice != Destination::Choice::kWrite) return CountRefused(context, destination);
  const std::filesystem::path& path = destination.path;
  const auto data = LocateData(context, mftRuns, file.locator);
  if (data && (data->damaged || (!data->resident && !data->runs.ok))) {
    context.control.CountFailed({path, 0, SaveFailure::Step::kDamaged, file.size});
    return FileOutcome::kFailed;
  }
  if (!data) {  // no unnamed data: a system file or a folder-like record, nothing to write
    context.control.CountPassedOver(false);
    return FileOutcome::kPassedOver;
  }
  // Non-resident data without runs holds no byte: an empty file as Linux's
  // ntfs3 writes it, saved empty. Runs that are gone while the size says
  // there were bytes leave nothing to write.
  const bool noBytes = !data->resident && data->runs.runs.empty();
  if (noBytes && file.size > 0) {
    context.control.CountFailed({path, 0, SaveFailure::Step::kDamaged, file.size});
    return FileOutcome::kFailed;
  }
  if (forSave) context.control.Begin(path, name);
  int error = 0;
  auto output = OutputFile::Create(path, error);
  if (!output) return CountNotCreated(context, path, error);
  // The bytes to write: a resident value shorter than the recorded size is
  // the whole file; data whose runs end before its size comes out short.
  std::uint64_t size = file.size;
  CopiedBytes copied;
  if (noBytes) {
    size = 0;
  } else if (data->resident) {
    size = std::min<std::uint64_t>(data->value.size(), file.size);
    if (output->Write(data->value.data(), static_cast<std::size_t>(size))) copied.written = size;
  } else if (data->compressed) {
    copied = CopyCompressed(context, *output, *data, file.size, forSave);
  } else {
    // Past the initialized size the clusters hold whatever was there before: it reads as zeros.
    const std::uint64_t initialized = std::min(file.size, data->initializedSize);
    copied = CopySectorRuns(context, *output, SectorRunsOf(context.params, data->runs.runs), initialized, forSave);
    if (copied.written == initialized && initialized < file.size) {
      output->Skip(file.size - initialized);
      copied.written = file.size;
    }
  }
  const bool interrupted = context.control.StopRequested() || context.control.SkipRequested();
  // Runs that end before the size: the file is kept as far as they go.
  const std::uint64_t cutShort = copied.written < size && output->Error() == 0 && !interrupted ? size - copied.written : 0;
  size -= cutShort;
  const int writeError = output->Close();
  const SavedTimes times{AccessedMoment(file.times), ModifiedMoment(file.times)};
  return EndFile(context, path, {copied.written, size, writeError, copied.unreadable + cutShort, times});
}

}  // namespace dravik
