#include "vdisk/VhdxHeader.h"

#include <algorithm>
#include <vector>

#include "util/Crc32.h"
#include "vdisk/VhdxFormat.h"

namespace dravik::vhdx {

ImageId GuidAt(Bytes bytes, std::size_t offset) {
  ImageId id;
  id.guidByteOrder = true;
  const Bytes stored = Slice(bytes, offset, id.bytes.size());
  std::copy(stored.begin(), stored.end(), id.bytes.begin());
  return id;
}

std::optional<Header> ParseHeader(Bytes block, int copy) {
  if (block.size() < kHeaderSize || !HasAscii(block, 0, kHeaderSignature)) return std::nullopt;
  std::vector<std::uint8_t> zeroed(block.begin(), block.begin() + kHeaderSize);
  std::fill_n(zeroed.begin() + kHeaderChecksumOffset, 4, std::uint8_t{0});
  if (Crc32c(zeroed) != le32(block, kHeaderChecksumOffset)) return std::nullopt;
  Header h;
  h.copy = copy;
  h.sequenceNumber = le64(block, kHeaderSequenceOffset);
  h.dataWriteGuid = GuidAt(block, kHeaderDataWriteGuidOffset);
  h.logGuid = GuidAt(block, kHeaderLogGuidOffset);
  h.logLength = le32(block, kHeaderLogLengthOffset);
  h.logOffset = le64(block, kHeaderLogOffsetOffset);
  return h;
}

std::string HeaderProblem(Bytes block) {
  if (std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; })) return "zeroed";
  if (!HasAscii(block, 0, kHeaderSignature)) return "no signature";
  if (!ParseHeader(block, 1)) return "bad checksum";
  return {};
}

std::optional<Header> CurrentHeader(const ByteSource& file) {
  const auto first = ParseHeader(ReadBlock(file, kHeader1Offset, kHeaderSize), 1);
  const auto second = ParseHeader(ReadBlock(file, kHeader2Offset, kHeaderSize), 2);
  if (first && second) return second->sequenceNumber > first->sequenceNumber ? second : first;
  return first ? first : second;
}

}  // namespace dravik::vhdx
