#include "ChainWriter.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "Bytes.h"
#include "TestFiles.h"
#include "util/Crc32.h"

namespace dravik::test {

namespace {

void PutText(Bytes& b, std::size_t at, const std::string& text) {
  if (b.size() < at + text.size()) b.resize(at + text.size());
  std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

// UTF-16 of an ASCII path (the tests use no other characters).
Bytes Utf16(const std::string& text, bool big) {
  Bytes out;
  for (const char c : text) PutInt(out, out.size(), static_cast<unsigned char>(c), 2, big);
  return out;
}

// The ones' complement of the byte sum, with the checksum field as zero.
std::uint32_t VhdChecksum(const Bytes& b, std::size_t begin, std::size_t length, std::size_t field) {
  std::uint32_t sum = 0;
  for (std::size_t i = begin; i < begin + length; ++i)
    if (i < begin + field || i >= begin + field + 4) sum += b[i];
  return ~sum;
}

void SetVhdxChecksum(Bytes& b, std::size_t begin, std::size_t length, std::size_t field) {
  PutInt(b, begin + field, 0, 4, false);
  PutInt(b, begin + field, Crc32c(std::span<const std::uint8_t>(b.data() + begin, length)), 4, false);
}

// ---- VHDX layout of a qemu-img image ------------------------------------

constexpr std::array<std::uint8_t, 16> kBatGuid{0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                                                0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
constexpr std::array<std::uint8_t, 16> kMetadataGuid{0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                                     0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr std::array<std::uint8_t, 16> kFileParametersGuid{0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                                           0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr std::array<std::uint8_t, 16> kLogicalSectorGuid{0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,
                                                          0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};
constexpr std::array<std::uint8_t, 16> kVirtualDiskSizeGuid{0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                                            0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
constexpr std::array<std::uint8_t, 16> kParentLocatorGuid{0x2D, 0x5F, 0xD3, 0xA8, 0x0B, 0xB3, 0x4D, 0x45,
                                                          0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C};
constexpr std::array<std::uint8_t, 16> kVhdxLocatorTypeGuid{0xB7, 0xEF, 0x4A, 0xB0, 0x9E, 0xD1, 0x81, 0x4A,
                                                            0xB7, 0x89, 0x25, 0xB8, 0xE9, 0x44, 0x59, 0x13};

bool GuidAt(const Bytes& b, std::size_t at, const std::array<std::uint8_t, 16>& guid) {
  return std::equal(guid.begin(), guid.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

struct VhdxLayout {
  std::uint64_t batOffset = 0, batLength = 0, metadataOffset = 0, metadataLength = 0;
  std::uint64_t fileParameters = 0, blockSize = 0, sectorSize = 512, virtualSize = 0;  // the last: the item's offset
  std::size_t currentHeader = 0;  // file offset of the header with the higher sequence number
};

VhdxLayout ReadLayout(const Bytes& b) {
  VhdxLayout l;
  const std::size_t table = 192 * 1024;
  for (std::uint64_t i = 0; i < GetInt(b, table + 8, 4, false); ++i) {
    const std::size_t e = table + 16 + 32 * i;
    if (GuidAt(b, e, kBatGuid)) l.batOffset = GetInt(b, e + 16, 8, false), l.batLength = GetInt(b, e + 24, 4, false);
    if (GuidAt(b, e, kMetadataGuid))
      l.metadataOffset = GetInt(b, e + 16, 8, false), l.metadataLength = GetInt(b, e + 24, 4, false);
  }
  const std::size_t m = l.metadataOffset;
  for (std::uint64_t i = 0; i < GetInt(b, m + 10, 2, false); ++i) {
    const std::size_t e = m + 32 + 32 * i;
    const std::uint64_t item = m + GetInt(b, e + 16, 4, false);
    if (GuidAt(b, e, kFileParametersGuid)) l.fileParameters = item, l.blockSize = GetInt(b, item, 4, false);
    if (GuidAt(b, e, kLogicalSectorGuid)) l.sectorSize = GetInt(b, item, 4, false);
    if (GuidAt(b, e, kVirtualDiskSizeGuid)) l.virtualSize = item;
  }
  l.currentHeader = GetInt(b, 128 * 1024 + 8, 8, false) > GetInt(b, 64 * 1024 + 8, 8, false) ? 128 * 1024 : 64 * 1024;
  return l;
}

std::string GuidText(const Bytes& b, std::size_t at) {
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b[at + static_cast<std::size_t>(kOrder[i])]);
    text += hex;
  }
  return text + "}";
}

Bytes ParentLocatorItem(const std::vector<std::pair<std::string, std::string>>& pairs) {
  Bytes item(20 + 12 * pairs.size());
  std::copy(kVhdxLocatorTypeGuid.begin(), kVhdxLocatorTypeGuid.end(), item.begin());
  PutInt(item, 18, pairs.size(), 2, false);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const Bytes key = Utf16(pairs[i].first, false), value = Utf16(pairs[i].second, false);
    const std::size_t e = 20 + 12 * i;
    PutInt(item, e, item.size(), 4, false);
    PutInt(item, e + 8, key.size(), 2, false);
    item.insert(item.end(), key.begin(), key.end());
    PutInt(item, e + 4, item.size(), 4, false);
    PutInt(item, e + 10, value.size(), 2, false);
    item.insert(item.end(), value.begin(), value.end());
  }
  return item;
}

// A footer with a geometry of 16 heads and 63 sectors a track.
Bytes Footer(std::uint32_t diskType, std::uint64_t dataOffset, std::uint64_t size) {
  Bytes f(512, 0);
  PutText(f, 0, "conectix");
  PutInt(f, 8, 2, 4, true);         // features
  PutInt(f, 12, 0x10000, 4, true);  // version
  PutInt(f, 16, dataOffset, 8, true);
  PutText(f, 28, "win ");  // makes qemu use the current size rather than the geometry
  PutInt(f, 32, 0x000A0000, 4, true);
  PutText(f, 36, "Wi2k");
  PutInt(f, 40, size, 8, true);
  PutInt(f, 48, size, 8, true);
  PutInt(f, 56, size / 512 / (16 * 63), 2, true);
  f[58] = 16;
  f[59] = 63;
  PutInt(f, 60, diskType, 4, true);
  for (int i = 0; i < 16; ++i) f[68 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
  PutInt(f, 64, VhdChecksum(f, 0, 512, 64), 4, true);
  return f;
}

// The byte a written block holds at a virtual offset.
std::uint8_t PatternByte(std::uint64_t virtualOffset) {
  return static_cast<std::uint8_t>((virtualOffset * 131 + virtualOffset / 509) ^ (virtualOffset >> 20));
}

}  // namespace

void MakeVhdChild(const std::filesystem::path& vhd, const std::filesystem::path& parent, const VhdChildOptions& o) {
  Bytes b = ReadFileBytes(vhd);
  const Bytes p = ReadFileBytes(parent);
  Bytes footer(b.end() - 512, b.end());
  b.resize(b.size() - 512);
  const std::size_t header = GetInt(footer, 16, 8, true);
  const std::uint64_t blockSize = GetInt(b, header + 32, 4, true);
  const std::uint64_t batOffset = GetInt(b, header + 16, 8, true);

  std::copy(p.end() - 512 + 68, p.end() - 512 + 84, b.begin() + static_cast<std::ptrdiff_t>(header + 40));
  if (o.wrongParentId) b[header + 40] ^= 0x5A;
  std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(header + 64), 512, std::uint8_t{0});
  const Bytes name = Utf16(o.parentName, true);
  std::copy(name.begin(), name.end(), b.begin() + static_cast<std::ptrdiff_t>(header + 64));
  std::size_t slot = 0;
  const auto addLocator = [&](const char* code, const std::string& path) {
    const Bytes data = Utf16(path, false);
    const std::size_t at = b.size();
    b.resize(at + (data.size() + 511) / 512 * 512);
    std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    const std::size_t e = header + 576 + 24 * slot++;
    PutText(b, e, code);
    PutInt(b, e + 4, (data.size() + 511) / 512 * 512, 4, true);
    PutInt(b, e + 8, data.size(), 4, true);
    PutInt(b, e + 16, at, 8, true);
  };
  for (const std::string& path : o.relativeLocators) addLocator("W2ru", path);
  for (const std::string& path : o.absoluteLocators) addLocator("W2ku", path);
  PutInt(b, header + 36, VhdChecksum(b, header, 1024, 36), 4, true);

  const std::uint64_t sectorsPerBlock = blockSize / 512;
  for (const SectorRun& run : o.parentSectors) {
    for (std::uint64_t s = run.first; s < run.first + run.count; ++s) {
      const std::uint64_t entry = GetInt(b, batOffset + 4 * (s / sectorsPerBlock), 4, true);
      if (entry == 0xFFFFFFFF) continue;
      const std::uint64_t bit = s % sectorsPerBlock;
      b[entry * 512 + bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
  }
  PutInt(footer, 60, 4, 4, true);
  PutInt(footer, 64, VhdChecksum(footer, 0, 512, 64), 4, true);
  std::copy(footer.begin(), footer.end(), b.begin());
  b.insert(b.end(), footer.begin(), footer.end());
  WriteFileBytes(vhd, b);
}

void MakeVhdxChild(const std::filesystem::path& vhdx, const std::filesystem::path& parent, const VhdxChildOptions& o) {
  Bytes b = ReadFileBytes(vhdx);
  const Bytes p = ReadFileBytes(parent);
  const VhdxLayout l = ReadLayout(b);
  const VhdxLayout pl = ReadLayout(p);
  PutInt(b, l.fileParameters + 4, GetInt(b, l.fileParameters + 4, 4, false) | 2, 4, false);

  std::vector<std::pair<std::string, std::string>> pairs;
  std::string linkage = GuidText(p, pl.currentHeader + 32);
  if (o.wrongLinkage) linkage[1] = linkage[1] == '0' ? '1' : '0';
  pairs.emplace_back("parent_linkage", linkage);
  if (!o.relativePath.empty()) pairs.emplace_back("relative_path", o.relativePath);
  if (!o.absoluteWin32Path.empty()) pairs.emplace_back("absolute_win32_path", o.absoluteWin32Path);
  const Bytes item = ParentLocatorItem(pairs);
  // The new item goes after the last one, the entry after the last entry.
  const std::size_t m = l.metadataOffset;
  const std::uint64_t count = GetInt(b, m + 10, 2, false);
  std::uint64_t free = 0;
  for (std::uint64_t i = 0; i < count; ++i)
    free = std::max(free, GetInt(b, m + 32 + 32 * i + 16, 4, false) + GetInt(b, m + 32 + 32 * i + 20, 4, false));
  free = (free + 4095) / 4096 * 4096;
  if (free + item.size() > l.metadataLength) throw std::runtime_error("no room for the parent locator");
  std::copy(item.begin(), item.end(), b.begin() + static_cast<std::ptrdiff_t>(m + free));
  const std::size_t e = m + 32 + 32 * count;
  std::copy(kParentLocatorGuid.begin(), kParentLocatorGuid.end(), b.begin() + static_cast<std::ptrdiff_t>(e));
  PutInt(b, e + 16, free, 4, false);
  PutInt(b, e + 20, item.size(), 4, false);
  PutInt(b, e + 24, 4, 4, false);  // IsRequired
  PutInt(b, m + 10, count + 1, 2, false);

  // qemu-img marks the blocks it never wrote as zero blocks; in a child they are not present, so that the parent shows
  // through.
  const std::uint64_t chunk = (std::uint64_t{1} << 23) * l.sectorSize / l.blockSize;
  for (std::uint64_t k = 0; k < chunk && 8 * k < l.batLength; ++k) {
    const std::size_t entry = l.batOffset + 8 * k;
    if (GetInt(b, entry, 8, false) == 2) PutInt(b, entry, 0, 8, false);
  }
  // One sector bitmap block, for the one chunk, at the end of the file.
  const std::uint64_t bitmap = (b.size() + 0xFFFFF) / 0x100000 * 0x100000;
  b.resize(bitmap + 0x100000, 0);
  PutInt(b, l.batOffset + 8 * chunk, bitmap | 6, 8, false);
  const std::uint64_t perBlock = l.blockSize / l.sectorSize;
  const auto sectorBit = [&](std::uint64_t sector, bool set) {
    const std::uint64_t bit = sector * 512 / l.sectorSize;
    auto& byte = b[bitmap + bit / 8];
    byte = static_cast<std::uint8_t>(set ? byte | (1u << (bit % 8)) : byte & ~(1u << (bit % 8)));
  };
  for (const SectorRun& run : o.parentSectors) {
    for (std::uint64_t s = run.first; s < run.first + run.count; ++s) {
      const std::uint64_t block = s * 512 / l.blockSize;
      if (block >= chunk) throw std::runtime_error("the test images hold one chunk");
      const std::size_t entry = l.batOffset + 8 * block;
      const std::uint64_t value = GetInt(b, entry, 8, false);
      if ((value & 7) == 6) {
        PutInt(b, entry, (value & ~std::uint64_t{7}) | 7, 8, false);
        for (std::uint64_t k = 0; k < perBlock * l.sectorSize / 512; ++k)
          sectorBit(block * l.blockSize / 512 + k, true);
      }
      if ((GetInt(b, entry, 8, false) & 7) == 7) sectorBit(s, false);
    }
  }
  WriteFileBytes(vhdx, b);
}

void WriteVhdxLog(const std::filesystem::path& vhdx, const std::vector<LogEntryPlan>& entries,
                  std::uint64_t lastFileOffset) {
  Bytes b = ReadFileBytes(vhdx);
  const VhdxLayout l = ReadLayout(b);
  const std::uint64_t logLength = GetInt(b, l.currentHeader + 68, 4, false);
  const std::uint64_t logOffset = GetInt(b, l.currentHeader + 72, 8, false);
  const std::array<std::uint8_t, 16> logGuid{0x4c, 0x6f, 0x67, 0x21, 0x10, 0x20, 0x30, 0x40,
                                             0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0};
  std::uint64_t position = 0;
  std::uint64_t sequence = 0x1122334455;
  for (const LogEntryPlan& planned : entries) {
    std::uint64_t dataCount = 0;
    for (const auto& d : planned.descriptors) dataCount += d.data.empty() ? 0u : 1u;
    const std::uint64_t descriptorSectors = (64 + 32 * planned.descriptors.size() + 4095) / 4096;
    Bytes entry((descriptorSectors + dataCount) * 4096, 0);
    PutText(entry, 0, "loge");
    PutInt(entry, 8, entry.size(), 4, false);
    PutInt(entry, 12, 0, 4, false);  // tail: the first entry
    PutInt(entry, 16, sequence, 8, false);
    PutInt(entry, 24, planned.descriptors.size(), 4, false);
    std::copy(logGuid.begin(), logGuid.end(), entry.begin() + 32);
    PutInt(entry, 48, b.size(), 8, false);
    PutInt(entry, 56, lastFileOffset ? lastFileOffset : b.size(), 8, false);
    std::uint64_t dataSector = descriptorSectors;
    for (std::size_t i = 0; i < planned.descriptors.size(); ++i) {
      const LogDescriptorPlan& d = planned.descriptors[i];
      const std::size_t at = 64 + 32 * i;
      PutInt(entry, at + 16, d.fileOffset, 8, false);
      PutInt(entry, at + 24, sequence, 8, false);
      if (d.data.empty()) {
        PutText(entry, at, "zero");
        PutInt(entry, at + 8, d.zeroLength, 8, false);
        continue;
      }
      PutText(entry, at, "desc");
      std::copy_n(d.data.end() - 4, 4, entry.begin() + static_cast<std::ptrdiff_t>(at + 4));
      std::copy_n(d.data.begin(), 8, entry.begin() + static_cast<std::ptrdiff_t>(at + 8));
      const std::size_t s = dataSector++ * 4096;
      PutText(entry, s, "data");
      PutInt(entry, s + 4, sequence >> 32, 4, false);
      std::copy(d.data.begin() + 8, d.data.end() - 4, entry.begin() + static_cast<std::ptrdiff_t>(s + 8));
      PutInt(entry, s + 4092, sequence & 0xFFFFFFFF, 4, false);
    }
    SetVhdxChecksum(entry, 0, entry.size(), 4);
    if (planned.torn) entry.back() ^= 0xFF;
    if (position + entry.size() > logLength) throw std::runtime_error("the log is full");
    std::copy(entry.begin(), entry.end(), b.begin() + static_cast<std::ptrdiff_t>(logOffset + position));
    position += entry.size();
    ++sequence;
  }
  for (const std::size_t header : {std::size_t{64 * 1024}, std::size_t{128 * 1024}}) {
    std::copy(logGuid.begin(), logGuid.end(), b.begin() + static_cast<std::ptrdiff_t>(header + 48));
    SetVhdxChecksum(b, header, 4096, 4);
  }
  WriteFileBytes(vhdx, b);
}

std::uint64_t VhdxBlockFileOffset(const std::filesystem::path& vhdx, std::uint64_t block) {
  const Bytes b = ReadFileBytes(vhdx);
  const VhdxLayout l = ReadLayout(b);
  const std::uint64_t chunk = (std::uint64_t{1} << 23) * l.sectorSize / l.blockSize;
  const std::uint64_t entry = GetInt(b, l.batOffset + 8 * (block + block / chunk), 8, false);
  return (entry & 7) >= 6 ? entry & ~std::uint64_t{0xFFFFF} : 0;
}

std::uint64_t VhdxBatOffset(const std::filesystem::path& vhdx) { return ReadLayout(ReadFileBytes(vhdx)).batOffset; }

void SetVhdxVirtualSize(const std::filesystem::path& vhdx, std::uint64_t size) {
  const std::uint64_t at = ReadLayout(ReadFileBytes(vhdx)).virtualSize;
  if (at == 0) throw std::runtime_error(vhdx.string() + " has no virtual disk size");
  Bytes value;
  PutInt(value, 0, size, 8, false);
  PatchFile(vhdx, at, value);
}

void SetVhdCurrentSize(const std::filesystem::path& vhd, std::uint64_t size) {
  for (const std::uint64_t at : {std::filesystem::file_size(vhd) - 512, std::uint64_t{0}}) {
    Bytes footer = BytesAt(vhd, at, 512);
    if (!std::equal(footer.begin(), footer.begin() + 8, "conectix")) {
      if (at != 0) throw std::runtime_error(vhd.string() + " does not end in a VHD footer");
      continue;  // a fixed disk: no copy at 0
    }
    PutInt(footer, 48, size, 8, true);
    PutInt(footer, 64, VhdChecksum(footer, 0, 512, 64), 4, true);
    PatchFile(vhd, at, footer);
  }
}

void WriteDynamicVhd(const std::filesystem::path& path, const VhdLayout& layout) {
  const auto entries = static_cast<std::uint32_t>((layout.virtualSize + layout.blockSize - 1) / layout.blockSize);
  const Bytes footer = Footer(layout.storedDiskType, layout.headerOffset, layout.virtualSize);
  Bytes header(1024, 0);
  PutText(header, 0, "cxsparse");
  PutInt(header, 8, ~std::uint64_t{0}, 8, true);
  PutInt(header, 16, layout.batOffset, 8, true);
  PutInt(header, 24, 0x10000, 4, true);
  PutInt(header, 28, entries, 4, true);
  PutInt(header, 32, layout.blockSize, 4, true);
  PutInt(header, 36, VhdChecksum(header, 0, 1024, 36), 4, true);

  Bytes bat(std::size_t{entries} * 4, 0xFF);
  const std::uint64_t bitmapBytes = ((layout.blockSize / 512 + 7) / 8 + 511) / 512 * 512;
  std::uint64_t end = layout.batOffset + bat.size();
  for (const auto& [block, sector] : layout.blocks) {
    PutInt(bat, std::size_t{block} * 4, sector, 4, true);
    end = std::max(end, sector * 512 + bitmapBytes + layout.blockSize);
  }
  WriteFileBytes(path, footer);
  PatchFile(path, layout.headerOffset, header);
  PatchFile(path, layout.batOffset, bat);
  for (const auto& [block, sector] : layout.blocks) {
    Bytes data(bitmapBytes + layout.blockSize, 0xFF);
    for (std::uint64_t i = 0; i < layout.blockSize; ++i)
      data[bitmapBytes + i] = PatternByte(std::uint64_t{block} * layout.blockSize + i);
    PatchFile(path, sector * 512, data);
  }
  PatchFile(path, (end + 511) / 512 * 512, footer);
}

}  // namespace dravik::test
