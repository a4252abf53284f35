#include "NtfsFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace dravik::test {

namespace fs = std::filesystem;

fs::path NtfsFixture(const std::string& name) { return FixtureIn("ntfs", name); }

std::uint32_t NtfsStart() {
  std::ifstream in(NtfsFixture("ntfs.start"));
  std::uint32_t start = 0;
  in >> start;
  EXPECT_NE(start, 0u) << "no partition start in ntfs.start";
  return start;
}

std::vector<NtfsManifestEntry> ReadNtfsManifest(const std::string& name) {
  std::ifstream in(NtfsFixture(name));
  std::vector<NtfsManifestEntry> entries;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    NtfsManifestEntry e;
    fields >> e.sha256 >> e.size >> e.record;
    fields.get();  // the blank before the path
    std::getline(fields, e.path);
    if (!e.path.empty()) entries.push_back(e);
  }
  EXPECT_FALSE(entries.empty()) << "empty manifest " << name;
  return entries;
}

std::vector<std::uint32_t> LiveRecords(const std::string& prefix) {
  std::vector<std::uint32_t> records;
  for (const auto& entry : ReadNtfsManifest("live.manifest"))
    if (entry.path.rfind(prefix, 0) == 0) records.push_back(entry.record);
  std::sort(records.begin(), records.end());
  return records;
}

std::map<std::string, std::uint32_t> NtfsCaseRecords() {
  std::ifstream in(NtfsFixture("cases.list"));
  std::map<std::string, std::uint32_t> records;
  std::string name;
  std::uint32_t record = 0;
  while (in >> name >> record) records[name] = record;
  EXPECT_FALSE(records.empty()) << "empty cases.list";
  return records;
}

NtfsDiskCopy::NtfsDiskCopy() : DiskCopy(NtfsFixture("ntfs.raw"), "ntfs.raw"), start_(NtfsStart()) {
  mftRuns_ = IstatRuns(NtfsFixture("ntfs.raw"), start_, 0);
}

std::uint64_t NtfsDiskCopy::RecordOffset(std::uint32_t record) const {
  constexpr std::uint64_t kClusterBytes = 4096;  // mkntfs's choice for a 64 MiB volume (fsstat agrees)
  std::uint64_t offset = std::uint64_t{record} * 1024;
  for (const auto& [first, clusters] : mftRuns_) {
    if (offset < clusters * kClusterBytes) return std::uint64_t{start_} * 512 + first * kClusterBytes + offset;
    offset -= clusters * kClusterBytes;
  }
  throw std::out_of_range("record " + std::to_string(record) + " lies past the MFT");
}

std::vector<std::uint8_t> NtfsDiskCopy::ReadRecord(std::uint32_t record) const {
  return BytesAt(Raw(), RecordOffset(record), 1024);
}

void NtfsDiskCopy::WriteRecord(std::uint32_t record, const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != 1024) throw std::invalid_argument("a record is 1024 bytes");
  Patch(RecordOffset(record), bytes);
}

}  // namespace dravik::test
