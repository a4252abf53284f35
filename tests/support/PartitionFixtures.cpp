#include "PartitionFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
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

// mmls rows: "NNN:  SLOT  START  END  LENGTH  DESCRIPTION", where SLOT is a
// table and entry number for a partition ("000:001" for DOS, "002" for GPT)
// and "Meta" or "-------" for the table sectors and unallocated space.
std::vector<MmlsRow> Mmls(const fs::path& raw) {
  const CommandResult result = RunShell("mmls " + Quote(raw));
  EXPECT_EQ(result.status, 0) << "mmls failed on " << raw;
  static const std::regex row(R"(^\d+:\s+(\d+(?::\d+)?)\s+(\d+)\s+(\d+)\s+(\d+)(?:\s|$))");
  std::vector<MmlsRow> rows;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) rows.push_back({std::stoull(m[2]), std::stoull(m[4])});
  }
  EXPECT_FALSE(rows.empty()) << "no partitions in mmls output:\n" << result.out;
  return rows;
}

namespace {

struct Range {
  std::uint32_t first = 0;
  std::optional<std::uint32_t> last;
};

// "4 - 35" or "2048" (with any trailing words).
std::optional<Range> ParseRange(const std::string& value) {
  static const std::regex range(R"(^\s*(\d+)(?:\s+-\s+(\d+))?)");
  std::smatch m;
  if (!std::regex_search(value, m, range)) return std::nullopt;
  Range r{static_cast<std::uint32_t>(std::stoul(m[1]))};
  if (m[2].matched) r.last = static_cast<std::uint32_t>(std::stoul(m[2]));
  return r;
}

}  // namespace

FsstatReport Fsstat(const fs::path& raw, std::uint64_t start) {
  const CommandResult result = RunShell("fsstat -o " + std::to_string(start) + " " + Quote(raw));
  EXPECT_EQ(result.status, 0) << "fsstat failed at sector " << start << " of " << raw;
  // The first value of each key wins; the layout keys come before the
  // METADATA section, which reuses "Root Directory" for an inode number.
  std::map<std::string, std::string> values;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(0, key.find_first_not_of("* "));
    values.emplace(key, line.substr(colon + 2));
  }
  FsstatReport report;
  const auto first = [&](const std::string& key) -> std::optional<std::uint32_t> {
    const auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    const auto r = ParseRange(it->second);
    return r ? std::optional(r->first) : std::nullopt;
  };
  const auto last = [&](const std::string& key) -> std::optional<std::uint32_t> {
    const auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    const auto r = ParseRange(it->second);
    return r ? r->last : std::nullopt;
  };
  if (values.count("File System Type")) report.type = values["File System Type"];
  report.sectorSize = first("Sector Size").value_or(0);
  report.clusterBytes = first("Cluster Size").value_or(0);
  report.reservedEnd = last("Reserved");
  report.fat0Start = first("FAT 0");
  report.fat0End = last("FAT 0");
  report.fat1Start = first("FAT 1");
  report.clusterAreaStart = first("Cluster Area");
  if (!report.clusterAreaStart) report.clusterAreaStart = first("Data Area");
  if (last("Root Directory")) report.rootDirStart = first("Root Directory");
  report.mftCluster = first("First Cluster of MFT");
  report.mftMirrorCluster = first("First Cluster of MFT Mirror");
  report.mftEntryBytes = first("Size of MFT Entries");
  report.indexRecordBytes = first("Size of Index Records");
  report.totalEnd = last("Total Range");
  if (!report.totalEnd) report.totalEnd = last("Total Sector Range");
  report.clusterEnd = last("Total Cluster Range");
  EXPECT_EQ(report.sectorSize, 512u) << "fsstat output at " << start << ":\n" << result.out;
  return report;
}

void ExpectParamsMatchFsstat(const FsParams& p, const FsstatReport& r, std::uint64_t start) {
  ASSERT_EQ(r.sectorSize, 512u);
  const std::uint32_t spc = r.clusterBytes / r.sectorSize;
  EXPECT_EQ(FsName(p.fsType), r.type);
  EXPECT_EQ(p.sectorsPerCluster, spc);
  if (r.type == "NTFS") {
    ASSERT_TRUE(r.mftCluster && r.mftMirrorCluster && r.mftEntryBytes && r.indexRecordBytes);
    EXPECT_EQ(p.mftStart, start + *r.mftCluster * spc);
    EXPECT_EQ(p.mftMirrorStart, start + *r.mftMirrorCluster * spc);
    EXPECT_EQ(p.mftRecordSectors, *r.mftEntryBytes / 512);
    EXPECT_EQ(p.indexRecordSectors, *r.indexRecordBytes / 512);
    return;
  }
  ASSERT_TRUE(r.reservedEnd && r.fat0Start && r.fat0End && r.fat1Start && r.clusterAreaStart);
  EXPECT_EQ(p.reservedSectors, *r.reservedEnd + 1);
  EXPECT_EQ(p.firstFatLba, start + *r.fat0Start);
  EXPECT_EQ(p.secondFatLba, start + *r.fat1Start);
  EXPECT_EQ(p.fatSize, *r.fat0End - *r.fat0Start + 1);
  EXPECT_EQ(p.clusterBase, start + *r.clusterAreaStart - 2 * spc);
  if (r.type == "FAT16") {
    ASSERT_TRUE(r.rootDirStart);
    EXPECT_EQ(p.rootStart, start + *r.rootDirStart);
    EXPECT_EQ(p.rootDirSectors, *r.clusterAreaStart - *r.rootDirStart);
  } else {
    EXPECT_EQ(p.rootDirSectors, 0u);
  }
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
