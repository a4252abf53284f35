#include "disk/PartitionTable.h"

#include <algorithm>
#include <limits>
#include <set>

#include "disk/BootSector.h"
#include "disk/ExtSignature.h"
#include "disk/Gpt.h"
#include "disk/SectorReader.h"

namespace dravik {

namespace {

// Partition records: four 16-byte entries in an MBR, two used in an extended
// boot record.
constexpr std::size_t kFirstEntryOffset = 446;
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kTypeOffset = 4;
constexpr std::size_t kStartOffset = 8;
constexpr std::size_t kCountOffset = 12;

constexpr std::uint8_t kEmpty = 0x00;
constexpr std::uint8_t kGptProtective = 0xEE;

struct RecordEntry {
  std::uint8_t type;
  std::uint32_t start;
  std::uint32_t sectors;
};

RecordEntry EntryAt(Bytes record, int index) {
  const std::size_t at = kFirstEntryOffset + kEntrySize * static_cast<std::size_t>(index);
  return {u8(record, at + kTypeOffset), le32(record, at + kStartOffset), le32(record, at + kCountOffset)};
}

bool IsExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

// The code a partition type gives when no boot-sector label matched.
std::uint16_t CodeForType(std::uint8_t type, bool inExtendedRecord) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0E: return kFat16;
    case 0x0B: case 0x0C: return kFat32;
    case 0x07: return kNtfs;
    case kGptProtective: return inExtendedRecord ? kFat32 : kNtfs;
    default: return 0;
  }
}

// The kind of ext volume whose superblock lies in the partition's third
// sector, or when that one is damaged, whose copy lies where mke2fs puts
// group 1's; 0 when there is neither.
std::uint16_t ExtCodeAt(const SectorReader& reader, std::uint64_t start) {
  if (const std::uint16_t code = ext::RecogniseSuperblock(reader.ReadSector(start + ext::kSuperblockSector)).code)
    return code;
  for (const std::uint32_t blockSize : {1024u, 2048u, 4096u}) {
    const std::uint64_t sector = start + ext::DefaultGroup1CopySector(blockSize);
    if (sector >= reader.SectorCount()) break;
    if (const std::uint16_t code = ext::RecogniseGroup1Copy(reader.ReadSector(sector), blockSize).code) return code;
  }
  return 0;
}

// Labels first, then an ext superblock (whatever the type: 0x83 as Linux
// writes it, or another a tool chose; a Linux partition without one is not
// listed, as before), then a GPT header, then the partition type.
std::uint16_t CodeForPartition(const SectorReader& reader, std::uint64_t start, std::uint8_t type,
                               bool inExtendedRecord) {
  const auto bootSector = reader.ReadSector(start);
  if (const std::uint16_t code = boot::FsCodeFromLabels(bootSector)) return code;
  if (const std::uint16_t code = ExtCodeAt(reader, start)) return code;
  if (boot::LooksLikeGptHeader(bootSector)) return inExtendedRecord ? kFat32 : kNtfs;
  return CodeForType(type, inExtendedRecord);
}

// Lists the GPT's partitions that hold a FAT or NTFS boot sector or an ext
// superblock (whatever their type GUID says, as for FAT and NTFS); false when
// neither GPT header is usable.
bool AddGptPartitions(const SectorReader& reader, PartitionTable& table) {
  const auto entries = gpt::ReadEntries(reader);
  if (!entries) return false;
  for (const gpt::Entry& entry : *entries) {
    if (entry.lastLba < entry.firstLba || entry.lastLba == std::numeric_limits<std::uint64_t>::max()) continue;
    std::uint16_t code = boot::FsCodeFromLabels(reader.ReadSector(entry.firstLba));
    if (code == 0) code = ExtCodeAt(reader, entry.firstLba);
    if (code == 0) continue;
    if (!table.Add({entry.firstLba, entry.lastLba - entry.firstLba + 1, code})) return true;
  }
  return true;
}

// Follows the chain of extended boot records from the extended partition's
// start. Each record's data entry is relative to the record, each link
// relative to the extended partition. A record met twice ends the chain.
void ReadExtendedChain(const SectorReader& reader, std::uint64_t extendedStart, PartitionTable& table) {
  std::set<std::uint64_t> visited;
  std::uint64_t relative = 0;
  while (!table.Full() && visited.insert(relative).second) {
    const std::uint64_t recordLba = extendedStart + relative;
    const auto record = reader.ReadSector(recordLba);
    bool linked = false;
    for (int i = 0; i < 2; ++i) {
      const RecordEntry entry = EntryAt(record, i);
      if (entry.type == kEmpty) continue;
      if (IsExtended(entry.type)) {
        relative = entry.start;
        linked = true;
        continue;
      }
      const std::uint64_t start = recordLba + entry.start;
      const std::uint16_t code = CodeForPartition(reader, start, entry.type, true);
      if (code != 0 && !table.Add({start, entry.sectors, code})) return;
    }
    if (!linked) return;
  }
}

}  // namespace

const char* FsName(std::uint16_t code) {
  switch (code) {
    case kFat16: return "FAT16";
    case kFat32: return "FAT32";
    case kNtfs: return "NTFS";
    case kExt2: return "EXT2";
    case kExt3: return "EXT3";
    case kExt4: return "EXT4";
    default: return "UNKNOWN";
  }
}

bool PartitionTable::Add(const PartitionEntry& entry) {
  if (Full()) return false;
  entries_.push_back(entry);
  return true;
}

bool PartitionTable::Contains(std::uint64_t start) const {
  return std::any_of(entries_.begin(), entries_.end(), [&](const PartitionEntry& e) { return e.start == start; });
}

void ReadPartitionTable(const SectorReader& reader, std::uint64_t tableSector, PartitionTable& table) {
  table.Clear();
  const auto mbr = reader.ReadSector(tableSector);
  if (!boot::HasEitherSignatureByte(mbr)) return;
  std::optional<std::uint32_t> extendedStart;
  bool gptListed = false;
  for (int i = 0; i < 4 && !table.Full(); ++i) {
    const RecordEntry entry = EntryAt(mbr, i);
    if (entry.type == kEmpty) continue;
    if (IsExtended(entry.type)) {
      extendedStart = entry.start;
      continue;
    }
    // A GPT is listed once, however many protective entries point at it.
    if (entry.type == kGptProtective && (gptListed || (gptListed = AddGptPartitions(reader, table)))) continue;
    const std::uint16_t code = CodeForPartition(reader, entry.start, entry.type, false);
    if (code != 0) table.Add({entry.start, entry.sectors, code});
  }
  if (extendedStart && !table.Full()) ReadExtendedChain(reader, *extendedStart, table);
}

void ReadDrivePartitions(const SectorReader& reader, PartitionTable& table) {
  for (const std::uint32_t sector : {0u, 0u, 61u, 62u}) {
    ReadPartitionTable(reader, sector, table);
    if (!table.Empty()) return;
  }
}

void ReadDriveVolumes(const SectorReader& reader, PartitionTable& table) {
  ReadDrivePartitions(reader, table);
  if (!table.Empty() || boot::HasEitherSignatureByte(reader.ReadSector(0))) return;
  const ext::FoundExtVolume found = ext::RecogniseSuperblock(reader.ReadSector(ext::kSuperblockSector));
  if (found.code != 0) table.Add({0, std::min(found.sectors, reader.SectorCount()), found.code});
}

std::vector<DiskStartMark> DiskStartMarks() {
  return {{0, [](Bytes sector) { return boot::HasSignature(sector); }},
          {ext::kSuperblockSector, [](Bytes sector) { return ext::RecogniseSuperblock(sector).code != 0; }}};
}

}  // namespace dravik
