#include "fs/ntfs/NtfsExtract.h"

#include <algorithm>
#include <set>
#include <tuple>
#include <unordered_set>

#include "util/Percent.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik {

ResultTree ExtractNtfsFileSystem(const ExtensiveFindings& findings, const FsParams& params, RecoveryStore& store,
                                 ScanControl& control) {
  store.Clear();
  const auto number = static_cast<std::int16_t>(params.fsIndex);
  std::unordered_set<std::uint32_t> ids;

  control.Report(NtfsExtractTexts::kExtracting, 0);
  const std::size_t total = findings.ntfsFolders.size();
  for (std::size_t i = 0; i < total && control.Continue(); ++i) {
    const NtfsFoundFolder& folder = findings.ntfsFolders[i];
    if (folder.fsNumber != number || folder.mftNumber == kNtfsRootId || folder.name == u".") continue;
    // Copies of one record (a deleted folder's old record, a stale copy) keep
    // the first found.
    if (!ids.insert(folder.mftNumber).second) continue;
    store.AddFolder({.name = folder.name,
                     .id = folder.mftNumber,
                     .parentId = folder.parentId,
                     .times = ItemTimes::FileTimes(folder.creationTime, folder.changeTime, folder.accessTime),
                     .deleted = folder.deleted});
    if (i % 256 == 0) {
      control.Count(static_cast<std::uint32_t>(store.Folders().size()), 0, 0);
      control.ReportPercent(PercentDone(i, total));
    }
  }

  control.Report(NtfsExtractTexts::kLost, 0);
  const std::size_t found = store.Folders().size();
  store.AddFolder({.name = kLostDirName, .id = kLostDirId, .parentId = kNtfsRootId});
  std::uint32_t k = 0;
  for (std::size_t i = 0; i < found; ++i) {
    const std::uint32_t parent = store.Folders()[i].parentId;
    if (parent == kNtfsRootId || !ids.insert(parent).second) continue;
    store.AddFolder({.name = u"Dir" + FromUtf8(std::to_string(k++)), .id = parent, .parentId = kLostDirId});
  }

  // The files whose records lie after the file system's start and not
  // beyond its end. Copies of one record ($MFTMirr's copies of the first
  // records, a stale copy) keep the first found: the same name in the same
  // folder, created at the same time, of the same size.
  const std::uint64_t start = params.partitionStart;
  std::set<std::tuple<std::uint32_t, std::u16string, std::uint64_t, std::uint64_t>> seen;
  for (const NtfsFoundFile& file : findings.ntfsFiles) {
    if (file.recordLba <= start || file.recordLba > params.fsEnd) continue;
    if (!seen.emplace(file.parentId, file.name, file.creationTime, file.size).second) continue;
    store.AddFile({.name = file.name,
                   .parentId = file.parentId,
                   .times = ItemTimes::FileTimes(file.creationTime, file.changeTime, file.accessTime),
                   .size = file.size,
                   .deleted = file.deleted,
                   .key = file.recordLba,
                   .locator = file.recordLba});
    ++store.fileCount;
    store.totalBytes += file.size;
    if (store.fileCount % 256 == 0)
      control.Count(static_cast<std::uint32_t>(store.Folders().size()), store.fileCount, 0);
  }
  control.Count(static_cast<std::uint32_t>(store.Folders().size()), store.fileCount, 0);

  control.Report(NtfsExtractTexts::kTree, 0);
  return ResultTree::Build(store, FsFamily::kNtfs);
}

}  // namespace dravik
