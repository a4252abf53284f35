#pragma once
// GUID partition tables. The primary header lies at LBA 1, the backup at the
// disk's last sector; each names its partition entry array and guards header
// and array with CRC-32s.

#include <cstdint>
#include <optional>
#include <vector>

namespace dravik {

class SectorReader;

namespace gpt {

constexpr std::size_t kHeaderSizeOffset = 12;
constexpr std::size_t kHeaderCrcOffset = 16;
constexpr std::size_t kEntriesLbaOffset = 72;
constexpr std::size_t kEntryCountOffset = 80;
constexpr std::size_t kEntrySizeOffset = 84;
constexpr std::size_t kEntriesCrcOffset = 88;
constexpr std::size_t kMinHeaderSize = 92;
constexpr std::uint32_t kMaxEntryCount = 4096;
constexpr std::uint32_t kMinEntrySize = 128;
constexpr std::uint32_t kMaxEntrySize = 4096;

// Entry fields.
constexpr std::size_t kTypeGuidOffset = 0;
constexpr std::size_t kFirstLbaOffset = 32;
constexpr std::size_t kLastLbaOffset = 40;

struct Entry {
  std::uint64_t firstLba;
  std::uint64_t lastLba;
};

// The used entries of the first GPT whose header and entry array pass their
// checks, primary before backup, in table order; none when neither does.
std::optional<std::vector<Entry>> ReadEntries(const SectorReader& reader);

}  // namespace gpt
}  // namespace dravik
