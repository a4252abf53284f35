#include "fs/FamilyRegistry.h"

#include <array>
#include <stdexcept>

#include "disk/PartitionTable.h"
#include "fs/ext/ExtFamily.h"
#include "fs/fat/FatFamily.h"
#include "fs/ntfs/NtfsFamily.h"

namespace dravik {

namespace {

struct Registration {
  FsFamily id;
  const FileSystemFamily& (*family)();
  std::array<std::uint16_t, 3> codes;  // 0 for none
};

const Registration kFamilies[] = {
    {FsFamily::kFat, &fat::Family, {kFat16, kFat32, 0}},
    {FsFamily::kNtfs, &ntfs::Family, {kNtfs, 0, 0}},
    {FsFamily::kExt, &ext::Family, {kExt2, kExt3, kExt4}},
};

const SearchableKind kSearchable[] = {
    {kNtfs, "ntfs", "NTFS"},
    {kFat32, "fat32", "FAT 32"},
    {kFat16, "fat16", "FAT 16"},
    {kExt4, "ext4", "ext2/3/4"},
};

}  // namespace

const FileSystemFamily& FamilyOf(FsFamily id) {
  for (const Registration& r : kFamilies)
    if (r.id == id) return r.family();
  throw std::logic_error("a file-system family without a registration");
}

std::optional<FsFamily> FamilyOfCode(std::uint16_t fsCode) {
  for (const Registration& r : kFamilies)
    for (const std::uint16_t code : r.codes)
      if (code != 0 && code == fsCode) return r.id;
  return std::nullopt;
}

std::span<const SearchableKind> SearchableKinds() { return kSearchable; }

std::optional<std::uint16_t> SearchableCodeOf(std::string_view option) {
  for (const SearchableKind& kind : kSearchable)
    if (option == kind.option) return kind.code;
  return std::nullopt;
}

}  // namespace dravik
