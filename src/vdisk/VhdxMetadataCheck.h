#pragma once
// Plausibility of the VHDX metadata values the reader relies on. Each check
// returns why the value cannot be right, or nothing when it can: a value
// that fails is refused rather than trusted to size the disk or its blocks.

#include <cstdint>
#include <optional>
#include <string>

namespace dravik::vhdx {

constexpr std::uint32_t kMinBlockSize = 1024 * 1024;
constexpr std::uint32_t kMaxBlockSize = 256 * 1024 * 1024;
constexpr std::uint64_t kMaxVirtualDiskSize = 64ULL * 1024 * 1024 * 1024 * 1024;

// A power of two from 1 MiB to 256 MiB.
std::optional<std::string> ImplausibleBlockSize(std::uint32_t blockSize);
// 512 or 4096.
std::optional<std::string> ImplausibleLogicalSectorSize(std::uint32_t sectorSize);
// Above zero, a multiple of the logical sector size, at most 64 TiB.
std::optional<std::string> ImplausibleVirtualDiskSize(std::uint64_t size, std::uint32_t sectorSize);

}  // namespace dravik::vhdx
