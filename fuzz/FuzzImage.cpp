// Feeds arbitrary bytes to every reader of the engine: as a VHD file, as a
// VHDX file, and as a raw disk whose partitions are listed, whose file-system
// parameters are read or calculated and whose FAT or NTFS volume is scanned
// and put into a result tree. Any crash, hang or sanitizer report is a fault.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/PartitionSearch.h"
#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "session/ScanResult.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace {

using namespace dravik;

void ReadAsImage(const std::vector<std::uint8_t>& bytes, VirtualDisk::Kind kind) {
  VirtualDisk disk;
  disk.Create(kind);
  if (!disk.Open(std::make_unique<MemorySource>(bytes))) return;
  std::vector<std::uint8_t> buffer(3 * 512);
  for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{511}, disk.Size() / 2, disk.Size() - 1})
    disk.ReadAt(offset, buffer);
  (void)disk.DiskTypeText();
  (void)disk.TotalBatEntries();
}

void ScanAsDisk(const std::vector<std::uint8_t>& bytes) {
  const MemorySource source(bytes);
  const SectorReader reader(source);
  ScanControl control;
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  SearchPartitions(reader, SearchGeometry({}, reader.SectorCount()), table, nullptr, control);
  std::size_t scanned = 0;
  for (const PartitionEntry& entry : table.Entries()) {
    if (scanned++ == 3) break;
    ScanControl scanControl;
    const ScanResult result = ScanPartition(reader, entry, scanControl);
    if (result.tree) (void)result.tree->ShowFolder(result.tree->RootId(), FilterList{});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  ReadAsImage(bytes, VirtualDisk::kVhd);
  ReadAsImage(bytes, VirtualDisk::kVhdx);
  ReadAsImage(bytes, VirtualDisk::kRaw);
  ScanAsDisk(bytes);
  return 0;
}
