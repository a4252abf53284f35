#include "raw/CompoundFile.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "disk/SectorReader.h"

namespace dravik {

namespace {

// Header fields.
constexpr std::uint8_t kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t kSectorShiftOffset = 0x1E;
constexpr std::size_t kMiniSectorShiftOffset = 0x20;
constexpr std::size_t kFatSectorsOffset = 0x2C;
constexpr std::size_t kFirstDirectoryOffset = 0x30;
constexpr std::size_t kMiniCutoffOffset = 0x38;
constexpr std::size_t kFirstMiniFatOffset = 0x3C;
constexpr std::size_t kFirstDifatOffset = 0x44;
constexpr std::size_t kHeaderDifatOffset = 0x4C;
constexpr std::size_t kHeaderDifatEntries = 109;
// Directory entries.
constexpr std::size_t kEntryBytes = 128;
constexpr std::size_t kEntryNameLengthOffset = 64;
constexpr std::size_t kEntryStartOffset = 116;
constexpr std::size_t kEntrySizeOffset = 120;
// Sector numbers at and above this are marks (end of chain, free, ...).
constexpr std::uint32_t kFirstMark = 0xFFFFFFFA;
// Property sets.
constexpr std::size_t kFirstSectionOffset = 44;  // after the header and the first FMTID
constexpr std::uint32_t kAppNameProperty = 0x12;
constexpr std::uint32_t kStringType = 0x1E;  // 8-bit text with its length

constexpr std::uint64_t kExaminedBytes = 1 << 20;
constexpr std::uint32_t kReadSectors = 128;

class CompoundFile {
 public:
  explicit CompoundFile(Bytes file) : file_(file) {}

  bool Open() {
    if (!HasBytes(0, kSignature)) return false;
    const std::uint16_t shift = le16(file_, kSectorShiftOffset);
    const std::uint16_t miniShift = le16(file_, kMiniSectorShiftOffset);
    if (shift < 7 || shift > 16 || miniShift > shift) return false;
    sectorBytes_ = std::size_t{1} << shift;
    miniBytes_ = std::size_t{1} << miniShift;
    ReadFat();
    directory_ = Chain(le32(file_, kFirstDirectoryOffset), SIZE_MAX);
    return true;
  }

  // The stream of the directory entry with this name.
  std::optional<std::vector<std::uint8_t>> Stream(const std::u16string& name) const {
    if (directory_.size() < kEntryBytes) return std::nullopt;
    const Bytes root(directory_.data(), kEntryBytes);
    for (std::size_t at = 0; at + kEntryBytes <= directory_.size(); at += kEntryBytes) {
      const Bytes entry(directory_.data() + at, kEntryBytes);
      if (!NameIs(entry, name)) continue;
      const std::uint32_t start = le32(entry, kEntryStartOffset);
      const std::uint32_t size = le32(entry, kEntrySizeOffset);
      if (size >= le32(file_, kMiniCutoffOffset)) return Chain(start, size);
      return MiniStream(root, start, size);
    }
    return std::nullopt;
  }

  // The bytes up to the end of the last sector in use: the header sector,
  // then every sector the FAT does not mark free.
  std::optional<std::uint64_t> Length() const {
    constexpr std::uint32_t kFree = 0xFFFFFFFF;
    for (std::size_t i = fat_.size(); i-- > 0;)
      if (fat_[i] != kFree) return (std::uint64_t{i} + 2) * sectorBytes_;
    return std::nullopt;
  }

  bool HasEntry(const std::u16string& name) const {
    for (std::size_t at = 0; at + kEntryBytes <= directory_.size(); at += kEntryBytes)
      if (NameIs(Bytes(directory_.data() + at, kEntryBytes), name)) return true;
    return false;
  }

 private:
  bool HasBytes(std::size_t at, Bytes expected) const {
    const Bytes got = Slice(file_, at, expected.size());
    return got.size() == expected.size() && std::equal(got.begin(), got.end(), expected.begin());
  }

  Bytes SectorBytes(std::uint32_t sector) const {
    return Slice(file_, (std::size_t{sector} + 1) * sectorBytes_, sectorBytes_);
  }

  // The FAT from the sectors the header's list and the further list sectors
  // name; entries of sectors beyond the bytes given stay unknown.
  void ReadFat() {
    std::vector<std::uint32_t> fatSectors;
    const std::uint32_t count = le32(file_, kFatSectorsOffset);
    for (std::size_t i = 0; i < kHeaderDifatEntries && fatSectors.size() < count; ++i)
      fatSectors.push_back(le32(file_, kHeaderDifatOffset + 4 * i));
    std::uint32_t difat = le32(file_, kFirstDifatOffset);
    for (std::size_t guard = 0; difat < kFirstMark && fatSectors.size() < count && guard < MaxSectors(); ++guard) {
      const Bytes list = SectorBytes(difat);
      if (list.size() < sectorBytes_) break;
      for (std::size_t at = 0; at + 4 < list.size() && fatSectors.size() < count; at += 4)
        fatSectors.push_back(le32(list, at));
      difat = le32(list, list.size() - 4);
    }
    for (const std::uint32_t sector : fatSectors) {
      const Bytes entries = SectorBytes(sector);
      for (std::size_t at = 0; at + 4 <= entries.size(); at += 4) fat_.push_back(le32(entries, at));
    }
  }

  std::size_t MaxSectors() const { return file_.size() / sectorBytes_ + 1; }

  // The bytes of a chain of sectors, at most limit of them.
  std::vector<std::uint8_t> Chain(std::uint32_t sector, std::size_t limit) const {
    std::vector<std::uint8_t> bytes;
    for (std::size_t guard = 0; sector < kFirstMark && bytes.size() < limit && guard < MaxSectors(); ++guard) {
      const Bytes data = SectorBytes(sector);
      if (data.empty()) break;
      bytes.insert(bytes.end(), data.begin(), data.end());
      if (sector >= fat_.size()) break;
      sector = fat_[sector];
    }
    if (bytes.size() > limit) bytes.resize(limit);
    return bytes;
  }

  std::vector<std::uint8_t> MiniStream(Bytes root, std::uint32_t start, std::uint32_t size) const {
    const std::vector<std::uint8_t> container = Chain(le32(root, kEntryStartOffset), le32(root, kEntrySizeOffset));
    const std::vector<std::uint8_t> miniFatBytes = Chain(le32(file_, kFirstMiniFatOffset), SIZE_MAX);
    std::vector<std::uint8_t> bytes;
    const std::size_t limit = container.size() / miniBytes_ + 1;
    for (std::size_t guard = 0; start < kFirstMark && bytes.size() < size && guard < limit; ++guard) {
      const Bytes piece = Slice(container, std::size_t{start} * miniBytes_, miniBytes_);
      if (piece.empty()) break;
      bytes.insert(bytes.end(), piece.begin(), piece.end());
      if (std::size_t{start} * 4 + 4 > miniFatBytes.size()) break;
      start = le32(miniFatBytes, std::size_t{start} * 4);
    }
    if (bytes.size() > size) bytes.resize(size);
    return bytes;
  }

  static bool NameIs(Bytes entry, const std::u16string& name) {
    const std::size_t length = le16(entry, kEntryNameLengthOffset);
    if (length != 2 * (name.size() + 1)) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
      if (le16(entry, 2 * i) != name[i]) return false;
    return true;
  }

  Bytes file_;
  std::size_t sectorBytes_ = 512;
  std::size_t miniBytes_ = 64;
  std::vector<std::uint32_t> fat_;
  std::vector<std::uint8_t> directory_;
};

// The 8-bit text of a property of the set's first section.
std::string PropertyText(Bytes set, std::uint32_t id) {
  const std::size_t section = le32(set, kFirstSectionOffset);
  const std::uint32_t count = le32(set, section + 4);
  for (std::uint32_t i = 0; i < count && section + 8 + 8 * std::size_t{i} + 8 <= set.size(); ++i) {
    if (le32(set, section + 8 + 8 * i) != id) continue;
    const std::size_t value = section + le32(set, section + 12 + 8 * i);
    if (le32(set, value) != kStringType) return {};
    const Bytes text = Slice(set, value + 8, le32(set, value + 4));
    std::string name(text.begin(), text.end());
    if (const auto end = name.find('\0'); end != std::string::npos) name.resize(end);
    return name;
  }
  return {};
}

}  // namespace

std::string CompoundAppName(Bytes file) {
  CompoundFile compound(file);
  if (!compound.Open()) return {};
  const auto summary = compound.Stream(u"\x0005SummaryInformation");
  return summary ? PropertyText(*summary, kAppNameProperty) : std::string{};
}

std::u16string OfficeExtensionOfAppName(const std::string& appName) {
  if (appName.find("PowerPoint") != std::string::npos) return u".ppt";
  if (appName.find("Excel") != std::string::npos) return u".xls";
  if (appName.find("Word") != std::string::npos) return u".doc";
  return u".pub";
}

std::u16string OfficeKindOfCompound(Bytes file) {
  CompoundFile compound(file);
  if (!compound.Open()) return u".pub";
  const auto summary = compound.Stream(u"\x0005SummaryInformation");
  const std::string appName = summary ? PropertyText(*summary, kAppNameProperty) : std::string{};
  if (!appName.empty()) return OfficeExtensionOfAppName(appName);
  // Writers that leave the program's name out (LibreOffice among them) are
  // told by the stream each program keeps its document in.
  if (compound.HasEntry(u"PowerPoint Document")) return u".ppt";
  if (compound.HasEntry(u"Workbook") || compound.HasEntry(u"Book")) return u".xls";
  if (compound.HasEntry(u"WordDocument")) return u".doc";
  return u".pub";
}

std::optional<std::uint64_t> CompoundFileLength(Bytes file) {
  CompoundFile compound(file);
  if (!compound.Open()) return std::nullopt;
  return compound.Length();
}

std::u16string DetermineOfficeKind(const SectorReader& reader, std::uint64_t firstSector) {
  std::vector<std::uint8_t> bytes(kExaminedBytes, 0);
  for (std::uint64_t done = 0; done < kExaminedBytes / kSectorSize; done += kReadSectors)
    reader.Read(firstSector + done, kReadSectors,
                std::span(bytes).subspan(static_cast<std::size_t>(done * kSectorSize), kReadSectors * kSectorSize));
  return OfficeKindOfCompound(bytes);
}

}  // namespace dravik
