#include "vdisk/VhdxMetadataCheck.h"

namespace dravik::vhdx {

std::optional<std::string> ImplausibleBlockSize(std::uint32_t blockSize) {
  const bool powerOfTwo = blockSize != 0 && (blockSize & (blockSize - 1)) == 0;
  if (powerOfTwo && blockSize >= kMinBlockSize && blockSize <= kMaxBlockSize) return std::nullopt;
  return std::to_string(blockSize) + " bytes is no power of two from 1 MiB to 256 MiB";
}

std::optional<std::string> ImplausibleLogicalSectorSize(std::uint32_t sectorSize) {
  if (sectorSize == 512 || sectorSize == 4096) return std::nullopt;
  return std::to_string(sectorSize) + " bytes is neither 512 nor 4096";
}

std::optional<std::string> ImplausibleVirtualDiskSize(std::uint64_t size, std::uint32_t sectorSize) {
  if (size == 0) return "0 bytes";
  if (sectorSize != 0 && size % sectorSize != 0)
    return std::to_string(size) + " bytes is no multiple of the " + std::to_string(sectorSize) + "-byte sector";
  if (size > kMaxVirtualDiskSize) return std::to_string(size) + " bytes is more than 64 TiB";
  return std::nullopt;
}

}  // namespace dravik::vhdx
