#include "fs/FamilyRegistry.h"

#include <array>
#include <stdexcept>

#include "disk/PartitionTable.h"
#include "fs/fat/FatFamily.h"
#include "fs/ntfs/NtfsFamily.h"

namespace dravik {

namespace {

struct Registration {
  FsFamily id;
  const FileSystemFamily& (*family)();
  std::array<std::uint16_t, 2> codes;  // 0 for none
};

const Registration kFamilies[] = {
    {FsFamily::kFat, &fat::Family, {kFat16, kFat32}},
    {FsFamily::kNtfs, &ntfs::Family, {kNtfs, 0}},
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

}  // namespace dravik
