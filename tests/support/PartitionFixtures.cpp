#include "PartitionFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "Bytes.h"
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

DiskCopy::DiskCopy(const std::string& disk) : DiskCopy(PartitionFixture(disk + ".raw"), disk + ".raw") {}

DiskCopy::DiskCopy(const fs::path& raw, const std::string& name) : raw_(dir_ / name) {
  if (RunShell("cp --sparse=always " + Quote(raw) + " " + Quote(raw_)).status != 0)
    throw std::runtime_error("cannot copy the raw disk " + raw.string());
}

std::vector<std::uint8_t> DiskCopy::Sector(std::uint64_t lba) const { return BytesAt(raw_, lba * 512, 512); }

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

fs::path DiskCopy::Wrapped(const std::string& extension) const {
  return WrapRawDisk(raw_, dir_.Path(), "damaged", extension);
}

std::vector<std::uint8_t> RecordEntry(std::uint8_t type, std::uint64_t start, std::uint64_t sectors) {
  std::vector<std::uint8_t> entry(16, 0);
  entry[4] = type;
  PutInt(entry, 8, start, 4);
  PutInt(entry, 12, sectors, 4);
  return entry;
}

}  // namespace dravik::test
