#pragma once
// The two VHDX region tables, at 192 KiB and 256 KiB (64 KiB each,
// little-endian):
//
//   0  signature "regi"   4  checksum (CRC-32C of the 64 KiB, this field zero)
//   8  entry count        12 reserved
//   16 entries of 32 bytes: 0 GUID, 16 file offset (8), 24 length (4), 28 flags (4)
//
// Writers keep both copies equal, so a damaged first table is replaced by the
// second. A table whose checksum fails may still name its regions rightly (a
// torn write elsewhere in the 64 KiB); its entries are trusted only when
// they are plausible on their own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/Bytes.h"
#include "vdisk/ByteSource.h"
#include "vdisk/VhdxFormat.h"

namespace dravik::vhdx {

constexpr std::string_view kRegionTableSignature = "regi";
constexpr std::size_t kRegionTableChecksumOffset = 4;
constexpr std::uint64_t kRegionTable2Offset = 256 * 1024;
constexpr std::uint64_t kRegionAlignment = 1024 * 1024;

struct RegionEntry {
  KnownItem item = KnownItem::kInvalid;  // kBat, kMetadata, or kInvalid for any other region
  std::uint64_t fileOffset = 0;
  std::uint32_t length = 0;
  bool required = false;
};

struct RegionTable {
  int copy = 0;  // 1 or 2
  bool hasSignature = false;
  bool checksumMatches = false;
  std::vector<RegionEntry> entries;  // as many as the count claims, at most kMaxTableEntries
  // Why the table is not valid: "zeroed", "no signature", "bad checksum",
  // "too many entries"; empty for a valid one.
  std::string problem;

  bool Valid() const { return problem.empty(); }
};

// The table in a 64 KiB block.
RegionTable ParseRegionTable(Bytes block, int copy);

// Why the entries cannot be trusted without a checksum, or empty when they
// can: exactly one BAT and one metadata region, each 1 MiB-aligned in offset
// and length, inside a file of fileSize bytes, the two not overlapping.
std::string ImplausibleEntries(const RegionTable& table, std::uint64_t fileSize);

// Reads table copy (1 or 2) of the file.
RegionTable ReadRegionTable(const ByteSource& file, int copy);

// The regions found without a region table, at the 1 MiB boundaries of the
// file's first 256 MiB other than the log's (logOffset, 0 when unknown):
// the metadata region by its table's signature, the BAT as the first MiB
// whose first 8192 entries all have a valid state, no reserved bits and,
// where present, a place inside the file, and that names at least one block.
// Each region reaches to the next structure or block; none when either
// region is not found.
std::optional<RegionTable> FindRegionsBySearch(const ByteSource& file, std::uint64_t logOffset);

}  // namespace dravik::vhdx
