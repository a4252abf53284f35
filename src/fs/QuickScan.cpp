#include "fs/QuickScan.h"

#include "disk/FsParamsReader.h"
#include "fs/fat/FatQuickScan.h"
#include "fs/ntfs/NtfsQuickScan.h"
#include "util/ScanControl.h"

namespace dravik {

QuickScanResult RunQuickScan(const SectorReader& reader, const PartitionEntry& partition, RecoveryStore& store,
                             ScanControl& control) {
  QuickScanResult result;
  result.params = FsParams::ForPartition(partition);
  if (!ReadFsParams(reader, result.params, control)) {
    control.Report(QuickScanTexts::kCalculating, 0);
    if (!CalculateFsParams(reader, result.params, control)) {
      result.message = kParamsNotFoundMessage;
      return result;
    }
  }
  store.Clear();
  if (partition.code == kNtfs) {
    ScanNtfsQuick(reader, result.params, store, control);
  } else {
    control.Report(QuickScanTexts::kSearching, 0);
    result.foldersNotReadWhole = ScanFatQuick(reader, result.params, store, control);
  }
  result.scanned = true;
  // An NTFS result always holds "Lost Dir"; it is empty when nothing else was found.
  const std::size_t lostDir = partition.code == kNtfs ? 1 : 0;
  const bool empty = store.Folders().size() <= lostDir && store.Files().empty();
  result.message = empty ? QuickScanTexts::kNothingFound : QuickScanTexts::kFound;
  return result;
}

}  // namespace dravik
