#pragma once
// The NTFS test disk of make-ntfs-fixtures.sh: its manifests and damaged copies.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TestFiles.h"
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

}  // namespace dravik::test
