#include "Oracles.h"

#include <gtest/gtest.h>

#include <ctime>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>

#include "TestFiles.h"

namespace dravik::test {

namespace fs = std::filesystem;

namespace {

std::string Run(const std::string& tool, const std::string& command) {
  const CommandResult result = RunShell(command);
  EXPECT_EQ(result.status, 0) << tool << " failed: " << command;
  return result.out;
}

std::string Offset(std::uint64_t start) { return " -o " + std::to_string(start) + " "; }

}  // namespace

// Lines look like "r/r * 2158-128-2:\tPATH\tMTIME\tATIME\tCTIME\tCRTIME\tSIZE\tUID\tGID": the name's type and the
// record's type ("d" folder, "r" file, "v" virtual, "-" unknown), "*" for a deleted entry, the inode with the
// attribute's type and id.
std::vector<FlsItem> Fls(const fs::path& raw, std::uint64_t start) {
  static const std::regex head(R"(^(\S)/(\S) (\* )?(\d+)(-\d+-\d+)?(\(realloc\))?:$)");
  std::vector<FlsItem> items;
  std::istringstream lines(Run("fls", "fls -r -p -l" + Offset(start) + Quote(raw)));
  for (std::string line; std::getline(lines, line);) {
    const auto f = Split(line, '\t');
    std::smatch m;
    if (f.size() < 7 || !std::regex_match(f[0], m, head)) {
      ADD_FAILURE() << "unexpected fls line: " << line;
      continue;
    }
    items.push_back({m[2] == "d" || m[1] == "d", m[3].matched, m[1] == "v" || m[1] == "V", m[6].matched,
                     static_cast<std::uint32_t>(std::stoul(m[4])), f[1], std::stoull(f[6]), f[2].substr(0, 19),
                     f[3].substr(0, 19)});
  }
  EXPECT_FALSE(items.empty()) << "fls listed nothing on " << raw;
  return items;
}

std::vector<std::uint8_t> Icat(const fs::path& raw, std::uint64_t start, std::uint32_t record) {
  const std::string out = Run("icat", "icat" + Offset(start) + Quote(raw) + " " + std::to_string(record));
  return {out.begin(), out.end()};
}

std::string Sha256Bytes(const std::vector<std::uint8_t>& bytes) {
  TempDir dir;
  WriteFileBytes(dir / "bytes", bytes);
  return Sha256File(dir / "bytes");
}

std::string Sha256File(const fs::path& file) { return RunShell("sha256sum " + Quote(file)).out.substr(0, 64); }

std::vector<std::pair<std::uint64_t, std::uint64_t>> IstatRuns(const fs::path& raw, std::uint64_t start,
                                                                std::uint32_t record) {
  static const std::regex run(R"(Starting address: (\d+), length: (\d+))");
  std::istringstream lines(Run("istat", "istat -r" + Offset(start) + Quote(raw) + " " + std::to_string(record)));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  bool inData = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Type: ", 0) == 0) {
      if (inData) break;  // the next attribute
      inData = line.find("Type: $DATA (128-") == 0 && line.find("Name: N/A") != std::string::npos;
      continue;
    }
    std::smatch m;
    if (inData && std::regex_search(line, m, run)) runs.emplace_back(std::stoull(m[1]), std::stoull(m[2]));
  }
  EXPECT_FALSE(runs.empty()) << "istat gave no runs for record " << record;
  return runs;
}

std::pair<std::int64_t, long> IstatTime(const fs::path& raw, std::uint64_t start, std::uint32_t record,
                                        const std::string& attribute, const std::string& label) {
  const std::regex time("^" + label + R"(:\s+(\d+-\d+-\d+ \d+:\d+:\d+)(?:\.(\d{9}))? \(UTC\))");
  std::istringstream lines(Run("istat", "istat" + Offset(start) + Quote(raw) + " " + std::to_string(record)));
  bool inAttribute = attribute.empty();
  for (std::string line; std::getline(lines, line);) {
    if (!attribute.empty() && line.rfind("$", 0) == 0)
      inAttribute = line.rfind(attribute + " Attribute Values", 0) == 0;
    std::smatch m;
    if (inAttribute && std::regex_search(line, m, time)) {
      std::tm tm{};
      std::istringstream(m.str(1)) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
      return {static_cast<std::int64_t>(timegm(&tm)), m[2].matched ? std::stol(m[2]) : -1};
    }
  }
  ADD_FAILURE() << "istat gave no " << attribute << " " << label << " time for record " << record;
  return {0, 0};
}

// mmls rows: "NNN:  SLOT  START  END  LENGTH  DESCRIPTION", where SLOT is a table and entry number for a partition
// ("000:001" for DOS, "002" for GPT) and "Meta" or "-------" for the table sectors and unallocated space.
std::vector<MmlsRow> Mmls(const fs::path& raw) {
  static const std::regex row(R"(^\d+:\s+(\d+(?::\d+)?)\s+(\d+)\s+(\d+)\s+(\d+)(?:\s|$))");
  const std::string out = Run("mmls", "mmls " + Quote(raw));
  std::vector<MmlsRow> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) rows.push_back({std::stoull(m[2]), std::stoull(m[4])});
  }
  EXPECT_FALSE(rows.empty()) << "no partitions in mmls output:\n" << out;
  return rows;
}

FsstatReport Fsstat(const fs::path& raw, std::uint64_t start) {
  const std::string out = Run("fsstat", "fsstat" + Offset(start) + Quote(raw));
  // "Key: 4 - 35" or "Key: 2048"; the first value of each key wins: the layout keys come before the METADATA section,
  // which reuses "Root Directory" for an inode number.
  std::map<std::string, std::pair<std::uint32_t, std::optional<std::uint32_t>>> values;
  static const std::regex range(R"(^\s*(\d+)(?:\s+-\s+(\d+))?)");
  std::istringstream lines(out);
  std::string type;
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(0, key.find_first_not_of("* "));
    const std::string value = line.substr(colon + 2);
    if (key == "File System Type" && type.empty()) type = value;
    std::smatch m;
    if (!values.count(key) && std::regex_search(value, m, range))
      values[key] = {static_cast<std::uint32_t>(std::stoul(m[1])),
                     m[2].matched ? std::optional(static_cast<std::uint32_t>(std::stoul(m[2]))) : std::nullopt};
  }
  const auto first = [&](const std::string& key) {
    return values.count(key) ? std::optional(values[key].first) : std::nullopt;
  };
  const auto last = [&](const std::string& key) { return values.count(key) ? values[key].second : std::nullopt; };
  FsstatReport r;
  r.type = type;
  r.sectorSize = first("Sector Size").value_or(0);
  r.clusterBytes = first("Cluster Size").value_or(0);
  r.reservedEnd = last("Reserved");
  r.fat0Start = first("FAT 0");
  r.fat0End = last("FAT 0");
  r.fat1Start = first("FAT 1");
  r.clusterAreaStart = first("Cluster Area") ? first("Cluster Area") : first("Data Area");
  if (last("Root Directory")) r.rootDirStart = first("Root Directory");
  r.mftCluster = first("First Cluster of MFT");
  r.mftMirrorCluster = first("First Cluster of MFT Mirror");
  r.mftEntryBytes = first("Size of MFT Entries");
  r.indexRecordBytes = first("Size of Index Records");
  r.totalEnd = last("Total Range") ? last("Total Range") : last("Total Sector Range");
  r.clusterEnd = last("Total Cluster Range");
  EXPECT_EQ(r.sectorSize, 512u) << "fsstat output at " << start << ":\n" << out;
  return r;
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

QemuImgInfo QemuInfo(const fs::path& image, const std::string& format) {
  const std::string out = Run(
      "qemu-img info", "qemu-img info --output=json " + (format.empty() ? "" : "-f " + format + " ") + Quote(image));
  static const std::regex size(R"re("virtual-size":\s*(\d+))re"), formatField(R"re("format":\s*"([^"]+)")re"),
      cluster(R"re("cluster-size":\s*(\d+))re");
  QemuImgInfo info;
  std::smatch m;
  if (std::regex_search(out, m, size)) info.virtualSize = std::stoull(m[1]);
  if (std::regex_search(out, m, formatField)) info.format = m[1];
  if (std::regex_search(out, m, cluster)) info.clusterSize = std::stoull(m[1]);
  EXPECT_NE(info.virtualSize, 0u) << "qemu-img info gave no size:\n" << out;
  return info;
}

}  // namespace dravik::test
