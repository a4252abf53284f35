#pragma once
// The NTFS test disk of make-ntfs-fixtures.sh: its manifests and damaged copies.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "PartitionFixtures.h"
#include "VolumeScan.h"

namespace dravik::test {

std::filesystem::path NtfsFixture(const std::string& name);
// The partition's first sector (ntfs.start).
std::uint32_t NtfsStart();

struct NtfsManifestEntry {
  std::string sha256;
  std::uint64_t size = 0;
  std::uint32_t record = 0;
  std::string path;
};
// "live.manifest" or "deleted.manifest".
std::vector<NtfsManifestEntry> ReadNtfsManifest(const std::string& name);
// The records of live.manifest's files under prefix, in order: places for
// crafted records.
std::vector<std::uint32_t> LiveRecords(const std::string& prefix);
// cases.list: name -> MFT record.
std::map<std::string, std::uint32_t> NtfsCaseRecords();

// A sparse copy of ntfs.raw, to be damaged by edits of its MFT records.
class NtfsDiskCopy : public DiskCopy {
 public:
  NtfsDiskCopy();

  // Byte offset of an MFT record on the disk, from the $MFT runs istat gives.
  std::uint64_t RecordOffset(std::uint32_t record) const;
  std::vector<std::uint8_t> ReadRecord(std::uint32_t record) const;  // as on disk
  void WriteRecord(std::uint32_t record, const std::vector<std::uint8_t>& bytes);

 private:
  std::uint32_t start_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mftRuns_;
};

}  // namespace dravik::test
