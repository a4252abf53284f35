#include "MemoryFatVolume.h"

#include <algorithm>
#include <stdexcept>

#include "Bytes.h"

#include "disk/SectorReader.h"
#include "fs/fat/FatQuickScan.h"
#include "util/ScanControl.h"

namespace dravik::test {

namespace {

std::uint8_t ShortNameChecksum(std::string_view name11) {
  std::uint8_t sum = 0;
  for (const char c : name11)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(c));
  return sum;
}

constexpr std::size_t kCharOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

}  // namespace

DirSlot ShortSlot(std::string_view name11, std::uint8_t attributes, std::uint32_t firstCluster, std::uint32_t size,
                  std::uint16_t date) {
  if (name11.size() != 11) throw std::invalid_argument("a short name field has 11 bytes");
  DirSlot slot{};
  std::copy(name11.begin(), name11.end(), slot.begin());
  slot[11] = attributes;
  PutInt(slot, 18, date, 2);
  PutInt(slot, 20, firstCluster >> 16, 2);
  PutInt(slot, 24, date, 2);
  PutInt(slot, 26, firstCluster & 0xFFFF, 2);
  PutInt(slot, 28, size, 4);
  return slot;
}

std::vector<DirSlot> LongNameSlots(std::u16string_view name, std::string_view name11) {
  const std::size_t parts = (name.size() + 12) / 13;
  std::vector<DirSlot> slots;
  for (std::size_t part = parts; part-- > 0;) {
    DirSlot slot{};
    slot[0] = static_cast<std::uint8_t>((part + 1) | (part + 1 == parts ? 0x40 : 0));
    slot[11] = 0x0F;
    slot[13] = ShortNameChecksum(name11);
    for (std::size_t i = 0; i < 13; ++i) {
      const std::size_t at = part * 13 + i;
      const std::uint32_t c = at < name.size() ? name[at] : at == name.size() ? 0x0000 : 0xFFFF;
      PutInt(slot, kCharOffsets[i], c, 2);
    }
    slots.push_back(slot);
  }
  return slots;
}

DirSlot Deleted(DirSlot slot) {
  slot[0] = 0xE5;
  return slot;
}

MemoryFatVolume::MemoryFatVolume(bool fat32) : fat32_(fat32), bytes_(std::size_t{kDiskSectors} * kSectorSize, 0) {
  params_.fsType = fat32 ? kFat32 : kFat16;
  params_.partitionStart = 0;
  params_.sectorsPerCluster = 1;
  params_.reservedSectors = 1;
  params_.fatSize = fat32 ? 2 : 1;
  params_.firstFatLba = 1;
  params_.secondFatLba = 1 + params_.fatSize;
  params_.rootDirSectors = fat32 ? 0 : 4;
  const std::uint32_t dataStart = 1 + 2 * params_.fatSize + params_.rootDirSectors;
  params_.clusterBase = dataStart - 2;
  params_.rootStart = fat32 ? 2 : 1 + 2 * params_.fatSize;
  params_.partitionSectors = params_.clusterBase + kLastCluster + 1;
  params_.lastSector = params_.partitionSectors - 1;
  SetFat(0, fat32 ? 0x0FFFFFF8 : 0xFFF8);
  SetFat(1, fat32 ? 0x0FFFFFFF : 0xFFFF);
  if (fat32) SetFat(2, 0x0FFFFFFF);  // the root directory: one cluster
}

void MemoryFatVolume::SetFat(std::uint32_t cluster, std::uint32_t value, bool first, bool second) {
  // 12-bit entries (see the header), two to three bytes; 16-bit end marks keep their meaning.
  const auto write = [&](std::uint64_t fatLba) {
    const std::size_t table = static_cast<std::size_t>(fatLba) * kSectorSize;
    if (fat32_) {
      PutInt(bytes_, table + cluster * 4u, value, 4);
      return;
    }
    std::uint8_t* at = &bytes_[table + cluster * 3u / 2u];
    const std::uint32_t v = value & 0xFFFu;
    if (cluster % 2 == 0) {
      at[0] = static_cast<std::uint8_t>(v);
      at[1] = static_cast<std::uint8_t>((at[1] & 0xF0u) | (v >> 8));
    } else {
      at[0] = static_cast<std::uint8_t>((at[0] & 0x0Fu) | ((v & 0x0Fu) << 4));
      at[1] = static_cast<std::uint8_t>(v >> 4);
    }
  };
  if (first) write(params_.firstFatLba);
  if (second) write(params_.secondFatLba);
}

void MemoryFatVolume::Chain(const std::vector<std::uint32_t>& clusters, std::uint32_t endMark) {
  if (endMark == 0) endMark = fat32_ ? 0x0FFFFFFF : 0xFFFF;
  for (std::size_t i = 0; i < clusters.size(); ++i)
    SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : endMark);
}

std::uint64_t MemoryFatVolume::ClusterSector(std::uint32_t cluster) const {
  return std::uint64_t{params_.clusterBase} + cluster;
}

std::span<std::uint8_t> MemoryFatVolume::Sector(std::uint64_t lba) {
  if (lba >= kDiskSectors) throw std::out_of_range("sector past the memory disk");
  return {bytes_.data() + lba * kSectorSize, kSectorSize};
}

std::uint64_t MemoryFatVolume::RootSector(std::uint32_t i) const {
  return fat32_ ? ClusterSector(2) + i : params_.rootStart + i;
}

void MemoryFatVolume::PutSlot(std::uint64_t lba, std::size_t index, const DirSlot& slot) {
  std::copy(slot.begin(), slot.end(), Sector(lba).begin() + static_cast<std::ptrdiff_t>(index * 32));
}

std::size_t MemoryFatVolume::PutSlots(std::uint64_t lba, std::size_t index, const std::vector<DirSlot>& slots) {
  for (const DirSlot& slot : slots) {
    PutSlot(lba + index / 16, index % 16, slot);
    ++index;
  }
  return index;
}

void MemoryFatVolume::StartFolder(std::uint32_t cluster, std::uint32_t parent) {
  PutSlot(ClusterSector(cluster), 0, ShortSlot(".          ", 0x10, cluster));
  PutSlot(ClusterSector(cluster), 1, ShortSlot("..         ", 0x10, parent));
}

RecoveryStore MemoryFatVolume::Scan() const {
  const MemorySource source = Source();
  const SectorReader reader(source);
  RecoveryStore store;
  ScanControl control;
  ScanFatQuick(reader, params_, store, control);
  return store;
}

}  // namespace dravik::test
