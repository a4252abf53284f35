#include "fs/QuickScan.h"

#include "disk/FsParamsReader.h"
#include "fs/fat/FatQuickScan.h"
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
  if (partition.code != kFat16 && partition.code != kFat32) {
    result.message = "The Quick Scan of NTFS partitions is not available in this version.";
    return result;
  }
  control.Report(QuickScanTexts::kSearching, 0);
  ScanFatQuick(reader, result.params, store, control);
  result.scanned = true;
  const bool empty = store.FatFolders().empty() && store.FatFiles().empty() && store.NtfsFolders().empty() &&
                     store.NtfsFiles().empty();
  result.message = empty ? QuickScanTexts::kNothingFound : QuickScanTexts::kFound;
  return result;
}

}  // namespace dravik
