#include "fs/QuickScan.h"

#include <algorithm>

#include "fs/FsParamsReader.h"
#include "fs/FamilyRegistry.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"

namespace dravik {

QuickScanResult RunQuickScan(const SectorReader& reader, const PartitionEntry& partition, RecoveryStore& store,
                             ScanControl& control) {
  Diagnostics unread;
  return RunQuickScan(reader, partition, store, control, unread);
}

QuickScanResult RunQuickScan(const SectorReader& reader, const PartitionEntry& partition, RecoveryStore& store,
                             ScanControl& control, Diagnostics& diagnostics) {
  QuickScanResult result;
  result.params = FsParams::ForPartition(partition);
  if (!ReadFsParams(reader, result.params, control, diagnostics)) {
    control.Report(QuickScanTexts::kCalculating, 0);
    if (!CalculateFsParams(reader, result.params, control, diagnostics)) {
      result.Fail(kParamsNotFoundMessage);
      return result;
    }
  }
  store.Clear();
  const auto family = FamilyOfCode(partition.code);
  if (!family) {
    result.NotThis(kParamsNotFoundMessage);
    return result;
  }
  result.family = *family;
  result.foldersNotReadWhole = FamilyOf(*family).QuickScan(reader, result.params, store, control);
  result.message = HoldsFindings(store) ? QuickScanTexts::kFound : QuickScanTexts::kNothingFound;
  return result;
}

}  // namespace dravik
