#include "disk/Gpt.h"

#include <algorithm>

#include "disk/SectorReader.h"
#include "util/Crc32.h"

namespace dravik::gpt {

namespace {

constexpr std::uint64_t kPrimaryHeaderLba = 1;

bool HeaderIsValid(Bytes header) {
  const std::uint32_t size = le32(header, kHeaderSizeOffset);
  if (!HasAscii(header, 0, "EFI PART") || size < kMinHeaderSize || size > header.size()) return false;
  std::vector<std::uint8_t> copy(header.begin(), header.begin() + size);
  std::fill_n(copy.begin() + kHeaderCrcOffset, 4, std::uint8_t{0});
  return Crc32(copy) == le32(header, kHeaderCrcOffset);
}

std::optional<std::vector<Entry>> ReadTable(const SectorReader& reader, std::uint64_t headerLba) {
  std::vector<std::uint8_t> header(kSectorSize);
  if (!reader.Read(headerLba, 1, header) || !HeaderIsValid(header)) return std::nullopt;
  const std::uint32_t count = le32(header, kEntryCountOffset);
  const std::uint32_t entrySize = le32(header, kEntrySizeOffset);
  if (count > kMaxEntryCount || entrySize < kMinEntrySize || entrySize > kMaxEntrySize || entrySize % 8 != 0)
    return std::nullopt;
  const std::size_t bytes = std::size_t{count} * entrySize;
  const auto sectors = static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
  std::vector<std::uint8_t> array(std::size_t{sectors} * kSectorSize);
  if (!reader.Read(le64(header, kEntriesLbaOffset), sectors, array)) return std::nullopt;
  const Bytes used(array.data(), bytes);
  if (Crc32(used) != le32(header, kEntriesCrcOffset)) return std::nullopt;

  std::vector<Entry> entries;
  for (std::size_t at = 0; at < bytes; at += entrySize) {
    const Bytes entry = used.subspan(at, entrySize);
    const Bytes type = entry.subspan(kTypeGuidOffset, 16);
    if (std::all_of(type.begin(), type.end(), [](std::uint8_t b) { return b == 0; })) continue;
    entries.push_back({le64(entry, kFirstLbaOffset), le64(entry, kLastLbaOffset)});
  }
  return entries;
}

}  // namespace

std::optional<std::vector<Entry>> ReadEntries(const SectorReader& reader) {
  if (auto primary = ReadTable(reader, kPrimaryHeaderLba)) return primary;
  const std::uint64_t sectors = reader.SectorCount();
  if (sectors < 2) return std::nullopt;
  return ReadTable(reader, sectors - 1);
}

}  // namespace dravik::gpt
