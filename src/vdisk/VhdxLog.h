#pragma once
// The VHDX log: a circular buffer of 4 KiB sectors at the current header's
// log offset. Each entry (little-endian):
//
//   entry header (64):  0 "loge"   4 checksum (CRC-32C of the whole entry,
//                       this field zero)   8 entry length   12 tail
//                       16 sequence number   24 descriptor count
//                       32 log GUID   48 flushed file offset   56 last file offset
//   descriptors (32 each, right after the header, padded to whole sectors):
//     zero: 0 "zero"  8 zero length  16 file offset  24 sequence number
//     data: 0 "desc"  4 trailing bytes (4)  8 leading bytes (8)
//           16 file offset  24 sequence number
//   data sectors, one per data descriptor, in order:
//     0 "data"  4 sequence number high  8 4084 bytes  4092 sequence number low
//
// A data descriptor writes one 4 KiB sector: its leading bytes, the data
// sector's 4084 bytes, its trailing bytes. Entries with consecutive sequence
// numbers follow each other in the buffer; the newest's tail names the
// oldest one still to be replayed.

#include <cstdint>
#include <string>
#include <vector>

#include "vdisk/ByteSource.h"
#include "vdisk/VhdxHeader.h"

namespace dravik::vhdx {

constexpr std::size_t kLogSectorSize = 4096;
constexpr std::size_t kLogEntryHeaderSize = 64;
constexpr std::size_t kLogDescriptorSize = 32;
constexpr std::string_view kLogEntrySignature = "loge";
constexpr std::string_view kZeroDescriptorSignature = "zero";
constexpr std::string_view kDataDescriptorSignature = "desc";
constexpr std::string_view kDataSectorSignature = "data";

constexpr std::size_t kEntryChecksumOffset = 4;
constexpr std::size_t kEntryLengthOffset = 8;
constexpr std::size_t kEntryTailOffset = 12;
constexpr std::size_t kEntrySequenceOffset = 16;
constexpr std::size_t kEntryDescriptorCountOffset = 24;
constexpr std::size_t kEntryLogGuidOffset = 32;
constexpr std::size_t kEntryFlushedFileOffset = 48;
constexpr std::size_t kEntryLastFileOffset = 56;

constexpr std::size_t kDescriptorTrailingOffset = 4;
constexpr std::size_t kDescriptorLeadingOffset = 8;
constexpr std::size_t kDescriptorZeroLengthOffset = 8;
constexpr std::size_t kDescriptorFileOffset = 16;
constexpr std::size_t kDescriptorSequenceOffset = 24;

constexpr std::size_t kDataSectorHighOffset = 4;
constexpr std::size_t kDataSectorDataOffset = 8;
constexpr std::size_t kDataSectorLowOffset = 4092;
constexpr std::size_t kLeadingBytes = 8;
constexpr std::size_t kTrailingBytes = 4;

// Logs longer than this are not replayed (writers make them 1 MiB).
constexpr std::uint32_t kMaxLogLength = 64 * 1024 * 1024;

// One write that the log asks for: 4 KiB of bytes, or a run of zeros.
struct LogWrite {
  std::uint64_t fileOffset = 0;
  std::uint64_t zeroLength = 0;     // for a run of zeros
  std::vector<std::uint8_t> bytes;  // for a data sector; empty for zeros
};

struct LogReplay {
  std::vector<LogWrite> writes;  // in the order they are to be applied
  std::uint64_t lastFileOffset = 0;
  std::size_t entryCount = 0;
  std::uint64_t firstSequence = 0;
  std::uint64_t lastSequence = 0;
  std::string problem;  // set when the log cannot be replayed
};

// Finds the active sequence of the log that header names and gathers its
// writes; entries that fail their checksum or do not carry the header's log
// GUID are passed over.
LogReplay ReadLog(const ByteSource& file, const Header& header);

}  // namespace dravik::vhdx
