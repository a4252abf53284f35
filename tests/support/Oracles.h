#pragma once
// The open tools the tests take as truth, run on the fixtures and parsed: Sleuth Kit's fls, icat, istat, mmls and
// fsstat on raw disks, and qemu-img info on any image.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/FsParams.h"

namespace dravik::test {

// One line of fls -r -p -l -o START RAW, as fls prints it.
struct FlsItem {
  bool folder = false;
  bool deleted = false;
  bool virtualEntry = false;  // "v/v": $MBR, $FAT1, $OrphanFiles...
  bool reallocated = false;   // "(realloc)": a deleted name whose inode is in use again
  std::uint32_t record = 0;   // the inode: MFT record or FAT entry address
  std::string path;
  std::uint64_t size = 0;
  std::string modified, accessed;  // "yyyy-mm-dd hh:mm:ss", UTC
};
std::vector<FlsItem> Fls(const std::filesystem::path& raw, std::uint64_t start);

std::vector<std::uint8_t> Icat(const std::filesystem::path& raw, std::uint64_t start, std::uint32_t record);
std::string Sha256Bytes(const std::vector<std::uint8_t>& bytes);
std::string Sha256File(const std::filesystem::path& file);
// The runs of the unnamed $DATA of a record as istat -r gives them: (first cluster, clusters).
std::vector<std::pair<std::uint64_t, std::uint64_t>> IstatRuns(const std::filesystem::path& raw, std::uint64_t start,
                                                                std::uint32_t record);
// A time istat shows for the record, in seconds and nanoseconds since 1970 (-1 where it shows none): attribute
// "$STANDARD_INFORMATION" or "$FILE_NAME" ("" where it has no attributes), label "File Modified", "Accessed"...
std::pair<std::int64_t, long> IstatTime(const std::filesystem::path& raw, std::uint64_t start, std::uint32_t record,
                                        const std::string& attribute, const std::string& label);

// One allocated partition as mmls shows it.
struct MmlsRow {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  bool operator==(const MmlsRow&) const = default;
};
std::vector<MmlsRow> Mmls(const std::filesystem::path& raw);

// What fsstat -o START reports about a volume, in sectors relative to START (absent values are nullopt).
struct FsstatReport {
  std::string type;  // "FAT16", "FAT32", "NTFS"
  std::uint32_t sectorSize = 0;
  std::uint32_t clusterBytes = 0;
  std::optional<std::uint32_t> reservedEnd, fat0Start, fat0End, fat1Start, clusterAreaStart, rootDirStart;
  std::optional<std::uint32_t> mftCluster, mftMirrorCluster, mftEntryBytes, indexRecordBytes;
  std::optional<std::uint32_t> totalEnd;    // last sector of the volume as its boot sector gives it
  std::optional<std::uint32_t> clusterEnd;  // NTFS: the volume's last cluster
};
FsstatReport Fsstat(const std::filesystem::path& raw, std::uint64_t start);
// Compares the parameters read for a partition with fsstat's report, field by field (only the fields fsstat can tell).
void ExpectParamsMatchFsstat(const FsParams& params, const FsstatReport& report, std::uint64_t start);

// qemu-img info --output=json, with -f FORMAT when one is given (qemu-img takes a fixed VHD for a raw disk otherwise):
// the format and the disk's size.
struct QemuImgInfo {
  std::string format;  // "raw", "vpc", "vhdx"
  std::uint64_t virtualSize = 0;
  std::uint64_t clusterSize = 0;  // the block size of a dynamic image
};
QemuImgInfo QemuInfo(const std::filesystem::path& image, const std::string& format = "");

}  // namespace dravik::test
