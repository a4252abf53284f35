#include "session/ScanResult.h"

#include "fs/FamilyRegistry.h"
#include "fs/QuickScan.h"
#include "fs/extensive/ExtensiveFindings.h"
#include "snapshot/Snapshot.h"
#include "util/Diagnostics.h"

namespace dravik {

namespace {

// A kept or found volume of a code no family reads lists as an empty FAT
// tree, as it always has.
FsFamily FamilyOrFat(std::uint16_t fsCode) { return FamilyOfCode(fsCode).value_or(FsFamily::kFat); }

}  // namespace

std::unique_ptr<FileContents> ScanResult::OpenContents(const SectorReader& reader) const {
  return FamilyOf(family).OpenContents(reader, params);
}

ScanResult ScanPartition(const SectorReader& reader, const PartitionEntry& partition, ScanControl& control) {
  Diagnostics unused;
  return ScanPartition(reader, partition, control, unused);
}

ScanResult ScanPartition(const SectorReader& reader, const PartitionEntry& partition, ScanControl& control,
                         Diagnostics& diagnostics) {
  ScanResult result;
  QuickScanResult quick = RunQuickScan(reader, partition, *result.store, control, diagnostics);
  static_cast<Outcome&>(result) = static_cast<Outcome&&>(quick);
  result.params = quick.params;
  result.family = quick.family;
  result.foldersNotReadWhole = std::move(quick.foldersNotReadWhole);
  if (result.Usable()) result.tree.emplace(ResultTree::Build(*result.store, result.family));
  return result;
}

ScanResult ExtractFoundFileSystem(const SectorReader& reader, const ExtensiveFindings& findings, std::uint16_t index,
                                  const FsParams& searched, ScanControl& control) {
  ScanResult result;
  result.params = ParamsOfFound(findings, index, searched);
  result.family = FamilyOrFat(result.params.fsType);
  result.tree.emplace(
      FamilyOf(result.family).ExtractFound(reader, findings, result.params, *result.store, control));
  return result;
}

ScanResult ResultOfSnapshot(Snapshot& snapshot) {
  ScanResult result;
  result.params = snapshot.info.params;
  result.family = FamilyOrFat(result.params.fsType);
  *result.store = std::move(snapshot.store);
  result.tree.emplace(ResultTree::Build(*result.store, result.family));
  return result;
}

}  // namespace dravik
