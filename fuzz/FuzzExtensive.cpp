// Feeds arbitrary bytes as a raw disk to the Extensive Scan: the sector
// search for each kind of file system, the identification that follows it,
// and the extraction of every file system found into a store and a tree
// whose root is listed. Any crash, hang or sanitizer report is a fault.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveScan.h"
#include "session/ScanResult.h"
#include "util/ScanControl.h"

namespace {

using namespace dravik;

// Small blocks, so that records and boot sectors fall across block ends too.
constexpr std::uint32_t kBlockSectors = 7;
constexpr std::size_t kMaxExtracted = 3;

void SearchAndExtract(const SectorReader& reader, std::uint16_t fsType) {
  const std::uint64_t sectors = reader.SectorCount();
  if (sectors == 0) return;
  ExtensiveFindings findings;
  ScanControl control;
  RunExtensiveScan(reader, fsType, 0, sectors, kBlockSectors, findings, control, 1);  // on the fuzzer's own thread

  FsParams range;
  range.fsType = fsType;
  range.partitionSectors = sectors;
  range.lastSector = sectors;
  for (std::size_t i = 0; i < findings.fileSystems.size() && i < kMaxExtracted; ++i) {
    ScanControl extractControl;
    const ScanResult result =
        ExtractFoundFileSystem(reader, findings, static_cast<std::uint16_t>(i + 1), range, extractControl);
    (void)result.tree->ShowFolder(result.tree->RootId(), FilterList{});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  const MemorySource source(bytes);
  const SectorReader reader(source);
  for (const std::uint16_t fsType : {kFat32, kFat16, kNtfs}) SearchAndExtract(reader, fsType);
  return 0;
}
