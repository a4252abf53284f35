#pragma once
// The two VHDX headers, at 64 KiB and 128 KiB (4 KiB each, little-endian):
//
//   0  signature "head"     4  checksum (CRC-32C of the 4 KiB, this field zero)
//   8  sequence number      16 file write GUID    32 data write GUID
//   48 log GUID             64 log version (2)    66 version (2)
//   68 log length (4)       72 log offset (8)
//
// The current header is the valid one (signature and checksum) with the
// higher sequence number; writers update the headers in turn, so a crash
// leaves the other one intact.

#include <cstdint>
#include <optional>
#include <string>

#include "util/Bytes.h"
#include "vdisk/ByteSource.h"
#include "vdisk/DiskImage.h"

namespace dravik::vhdx {

constexpr std::string_view kHeaderSignature = "head";
constexpr std::size_t kHeaderChecksumOffset = 4;
constexpr std::size_t kHeaderSequenceOffset = 8;
constexpr std::size_t kHeaderFileWriteGuidOffset = 16;
constexpr std::size_t kHeaderDataWriteGuidOffset = 32;
constexpr std::size_t kHeaderLogGuidOffset = 48;
constexpr std::size_t kHeaderLogVersionOffset = 64;
constexpr std::size_t kHeaderLogLengthOffset = 68;
constexpr std::size_t kHeaderLogOffsetOffset = 72;

struct Header {
  int copy = 0;  // 1 or 2
  std::uint64_t sequenceNumber = 0;
  ImageId dataWriteGuid;
  ImageId logGuid;
  std::uint32_t logLength = 0;
  std::uint64_t logOffset = 0;
};

// A GUID field as an id (stored byte order, shown as a GUID).
ImageId GuidAt(Bytes bytes, std::size_t offset);

// The header in a 4 KiB block; none when its signature or checksum is wrong.
std::optional<Header> ParseHeader(Bytes block, int copy);

// Why a 4 KiB block holds no valid header ("zeroed", "no signature", "bad
// checksum"); empty when it holds one.
std::string HeaderProblem(Bytes block);

// The current header of the file; none when neither copy is valid.
std::optional<Header> CurrentHeader(const ByteSource& file);

}  // namespace dravik::vhdx
