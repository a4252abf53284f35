#include "fs/ext/Inode.h"

#include <algorithm>

namespace dravik::ext {

namespace {

constexpr std::size_t kModeOffset = 0x00;
constexpr std::size_t kSizeLoOffset = 0x04;
constexpr std::size_t kAtimeOffset = 0x08;
constexpr std::size_t kCtimeOffset = 0x0C;
constexpr std::size_t kMtimeOffset = 0x10;
constexpr std::size_t kDtimeOffset = 0x14;
constexpr std::size_t kLinksOffset = 0x1A;
constexpr std::size_t kFlagsOffset = 0x20;
constexpr std::size_t kXattrBlockLoOffset = 0x68;
constexpr std::size_t kSizeHiOffset = 0x6C;
constexpr std::size_t kXattrBlockHiOffset = 0x76;
constexpr std::size_t kExtraSizeOffset = 0x80;
constexpr std::size_t kCtimeExtraOffset = 0x84;
constexpr std::size_t kMtimeExtraOffset = 0x88;
constexpr std::size_t kAtimeExtraOffset = 0x8C;
constexpr std::size_t kCrtimeOffset = 0x90;
constexpr std::size_t kCrtimeExtraOffset = 0x94;
constexpr std::size_t kBaseSize = 128;

constexpr std::uint32_t kEpochMask = 0x3;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr std::uint64_t kTicksPerSecond = 10000000;

}  // namespace

std::uint64_t ExtTime::FileTime() const {
  const std::int64_t from1601 = seconds + kSecondsFrom1601To1970;
  if (from1601 < 0) return 0;
  return static_cast<std::uint64_t>(from1601) * kTicksPerSecond + nanoseconds / 100;
}

ExtTime DecodeTime(std::uint32_t field, std::uint32_t extra) {
  const std::int64_t epoch = extra & kEpochMask;
  return {static_cast<std::int32_t>(field) + (epoch << 32), std::min<std::uint32_t>(extra >> 2, 999999999)};
}

Inode DecodeInode(Bytes b, std::uint32_t number) {
  Inode i;
  i.number = number;
  i.raw.assign(b.begin(), b.end());
  i.mode = le16(b, kModeOffset);
  i.size = le32(b, kSizeLoOffset) | std::uint64_t{le32(b, kSizeHiOffset)} << 32;
  i.links = le16(b, kLinksOffset);
  i.flags = le32(b, kFlagsOffset);
  i.deletionTime = le32(b, kDtimeOffset);
  i.xattrBlock = le32(b, kXattrBlockLoOffset) | std::uint64_t{le16(b, kXattrBlockHiOffset)} << 32;
  std::copy_n(Slice(b, kBlockArrayOffset, kBlockArraySize).begin(),
              std::min(kBlockArraySize, Slice(b, kBlockArrayOffset, kBlockArraySize).size()), i.blocks.begin());
  if (b.size() > kBaseSize) i.extraSize = le16(b, kExtraSizeOffset);
  // An extra field counts only when the extra size covers it.
  const auto extra = [&](std::size_t offset) -> std::uint32_t {
    return offset + 4 <= kBaseSize + i.extraSize && offset + 4 <= b.size() ? le32(b, offset) : 0;
  };
  i.accessed = DecodeTime(le32(b, kAtimeOffset), extra(kAtimeExtraOffset));
  i.changed = DecodeTime(le32(b, kCtimeOffset), extra(kCtimeExtraOffset));
  i.modified = DecodeTime(le32(b, kMtimeOffset), extra(kMtimeExtraOffset));
  if (kCrtimeOffset + 4 <= kBaseSize + i.extraSize) i.created = DecodeTime(extra(kCrtimeOffset), extra(kCrtimeExtraOffset));
  return i;
}

}  // namespace dravik::ext
