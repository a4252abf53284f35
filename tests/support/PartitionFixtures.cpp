#include "PartitionFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "vdisk/ImageFile.h"

namespace dravik::test {

namespace fs = std::filesystem;

fs::path PartitionFixture(const std::string& name) { return FixtureIn("partition", name); }

std::vector<PartitionEntry> ReadLayout(const std::string& disk) {
  std::ifstream in(PartitionFixture(disk + ".layout"));
  std::vector<PartitionEntry> layout;
  std::uint32_t start = 0, sectors = 0, code = 0;
  while (in >> start >> sectors >> code) layout.push_back({start, sectors, static_cast<std::uint16_t>(code)});
  EXPECT_FALSE(layout.empty()) << "empty layout file for " << disk;
  return layout;
}

std::vector<PartitionEntry> ListedEntries(const std::vector<PartitionEntry>& layout) {
  std::vector<PartitionEntry> listed;
  for (const PartitionEntry& entry : layout)
    if (entry.code != 0 && listed.size() < PartitionTable::kCapacity) listed.push_back(entry);
  return listed;
}

DiskCopy::DiskCopy(const std::string& disk) : raw_(dir_ / (disk + ".raw")) {
  const CommandResult copy = RunShell("cp --sparse=always " + Quote(PartitionFixture(disk + ".raw")) + " " + Quote(raw_));
  if (copy.status != 0) throw std::runtime_error("cannot copy the raw disk " + disk);
}

std::vector<std::uint8_t> DiskCopy::Sector(std::uint64_t lba) const {
  std::ifstream in(raw_, std::ios::binary);
  std::vector<std::uint8_t> sector(512);
  in.seekg(static_cast<std::streamoff>(lba * 512));
  in.read(reinterpret_cast<char*>(sector.data()), 512);
  if (!in) throw std::runtime_error("cannot read sector " + std::to_string(lba) + " of " + raw_.string());
  return sector;
}

void DiskCopy::WriteSector(std::uint64_t lba, const std::vector<std::uint8_t>& sector) {
  if (sector.size() != 512) throw std::invalid_argument("a sector is 512 bytes");
  PatchFile(raw_, lba * 512, sector);
}

void DiskCopy::Patch(std::uint64_t byteOffset, const std::vector<std::uint8_t>& bytes) {
  PatchFile(raw_, byteOffset, bytes);
}

std::unique_ptr<ByteSource> DiskCopy::OpenRaw() const {
  auto file = ImageFile::Open(raw_);
  if (!file) throw std::runtime_error("cannot open " + raw_.string());
  return file;
}

fs::path DiskCopy::Wrapped(const std::string& extension) const { return WrapRawDisk(raw_, dir_.Path(), "damaged", extension); }

std::vector<std::uint8_t> RecordEntry(std::uint8_t type, std::uint64_t start, std::uint64_t sectors) {
  std::vector<std::uint8_t> entry(16, 0);
  entry[4] = type;
  for (int i = 0; i < 4; ++i) {
    entry[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(start >> (8 * i));
    entry[12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sectors >> (8 * i));
  }
  return entry;
}

}  // namespace dravik::test
