#include "preview/OfficeCheck.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "preview/PreviewFile.h"
#include "util/Bytes.h"

namespace dravik::preview {

namespace {

// Zip: the end-of-central-directory record and the headers it points to.
constexpr std::uint32_t kZipLocalSignature = 0x04034B50;
constexpr std::uint32_t kZipCentralSignature = 0x02014B50;
constexpr std::uint32_t kZipEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr qsizetype kZipEndSize = 22;
constexpr qsizetype kZipMaxComment = 0xFFFF;
constexpr qsizetype kZipEndDirectorySize = 12;
constexpr qsizetype kZipEndDirectoryOffset = 16;
constexpr qsizetype kZipEndCommentLength = 20;
constexpr qsizetype kZip64LocatorSize = 20;

// Compound file: the header's fields and its first 109 allocation-table sectors.
constexpr char kCompoundSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
constexpr qsizetype kCompoundHeaderSize = 512;
constexpr qsizetype kCompoundSectorShift = 30;
constexpr qsizetype kCompoundFatSectorCount = 44;
constexpr qsizetype kCompoundDirectoryStart = 48;
constexpr qsizetype kCompoundHeaderFat = 76;
constexpr int kCompoundHeaderFatEntries = 109;
constexpr std::uint32_t kCompoundFree = 0xFFFFFFFF;

// EMF: records of type, size; the header record carries the file's size.
constexpr std::uint32_t kEmfHeaderType = 1;
constexpr std::uint32_t kEmfEofType = 14;
constexpr std::uint32_t kEmfSignature = 0x464D4520;  // " EMF"
constexpr qsizetype kEmfRecordSize = 4;
constexpr qsizetype kEmfSignatureOffset = 40;
constexpr qsizetype kEmfFileSize = 48;
constexpr std::uint32_t kEmfMinHeaderSize = 88;
constexpr std::uint32_t kEmfMinRecordSize = 8;

qsizetype FindZipEnd(const QByteArray& bytes) {
  const Bytes file = AsBytes(bytes);
  const qsizetype lowest = std::max<qsizetype>(0, bytes.size() - kZipEndSize - kZipMaxComment);
  for (qsizetype at = bytes.size() - kZipEndSize; at >= lowest; --at) {
    if (le32(file, std::size_t(at)) != kZipEndSignature) continue;
    // The comment must reach exactly to the end of the file, else these four bytes are data.
    if (at + kZipEndSize + le16(file, std::size_t(at + kZipEndCommentLength)) == bytes.size()) return at;
  }
  return -1;
}

}  // namespace

bool LooksLikeWholeZip(const QByteArray& bytes) {
  const Bytes file = AsBytes(bytes);
  if (le32(file, 0) != kZipLocalSignature) return false;
  const qsizetype end = FindZipEnd(bytes);
  if (end < 0) return false;
  const std::uint32_t size = le32(file, std::size_t(end + kZipEndDirectorySize));
  const std::uint32_t offset = le32(file, std::size_t(end + kZipEndDirectoryOffset));
  // Zip64 keeps the real values in a record before the end record: its locator is enough here.
  if (offset == 0xFFFFFFFF || size == 0xFFFFFFFF)
    return end >= kZip64LocatorSize && le32(file, std::size_t(end - kZip64LocatorSize)) == kZip64LocatorSignature;
  return std::uint64_t(offset) + size <= std::uint64_t(end) && le32(file, offset) == kZipCentralSignature;
}

bool LooksLikeWholeCompoundFile(const QByteArray& bytes) {
  if (bytes.size() < kCompoundHeaderSize || !bytes.startsWith(QByteArray::fromRawData(kCompoundSignature, 8)))
    return false;
  const Bytes file = AsBytes(bytes);
  const std::uint16_t shift = le16(file, kCompoundSectorShift);
  if (shift != 9 && shift != 12) return false;
  // Sector n starts at (n + 1) * size: the 512-byte header fills the whole first 4096-byte sector of version 4.
  const qsizetype sectorSize = qsizetype(1) << shift;
  const qsizetype sectors = (bytes.size() - 1) / sectorSize;
  // The end-of-chain and free marks (0xFFFFFFFE, 0xFFFFFFFF) lie past any file of preview size.
  auto inside = [&](std::uint32_t sector) { return qsizetype(sector) < sectors; };
  if (!inside(le32(file, kCompoundDirectoryStart))) return false;
  const std::uint32_t fatSectors = le32(file, kCompoundFatSectorCount);
  if (fatSectors == 0) return false;
  // Every sector in use must be in the file: a cut copy keeps the table but loses what it lists.
  const int listed = int(std::min<std::uint32_t>(fatSectors, kCompoundHeaderFatEntries));
  for (int i = 0; i < listed; ++i) {
    const std::uint32_t fat = le32(file, std::size_t(kCompoundHeaderFat + 4 * i));
    if (!inside(fat)) return false;
    const qsizetype start = (qsizetype(fat) + 1) * sectorSize;
    if (start + sectorSize > bytes.size()) return false;
    for (qsizetype entry = 0; entry < sectorSize / 4; ++entry) {
      const std::uint32_t next = le32(file, std::size_t(start + 4 * entry));
      if (next != kCompoundFree && !inside(std::uint32_t(i * (sectorSize / 4) + entry))) return false;
    }
  }
  return true;
}

bool LooksLikeWholeEmf(const QByteArray& bytes) {
  const Bytes file = AsBytes(bytes);
  if (le32(file, 0) != kEmfHeaderType || le32(file, kEmfSignatureOffset) != kEmfSignature) return false;
  const std::uint32_t fileSize = le32(file, kEmfFileSize);
  if (fileSize == 0 || fileSize > std::uint64_t(bytes.size()) || le32(file, kEmfRecordSize) < kEmfMinHeaderSize)
    return false;
  // Each record at least 8 bytes and 4-aligned, so the walk ends within size / 8 steps.
  qsizetype at = 0;
  std::uint32_t type = 0;
  while (at < qsizetype(fileSize)) {
    // A record's two fields must be in the file; a size of 0 read past the end fails below.
    const std::uint32_t size = le32(file, std::size_t(at + kEmfRecordSize));
    if (size < kEmfMinRecordSize || size % 4 != 0 || size > fileSize - at) return false;
    type = le32(file, std::size_t(at));
    at += size;
  }
  return type == kEmfEofType;
}

bool LooksLikeWholeOfficeFile(const QByteArray& bytes, const QString& extension) {
  if (extension == u".docx" || extension == u".xlsx" || extension == u".pptx") return LooksLikeWholeZip(bytes);
  if (extension == u".doc" || extension == u".xls" || extension == u".ppt") return LooksLikeWholeCompoundFile(bytes);
  if (extension == u".emf") return LooksLikeWholeEmf(bytes);
  return false;
}

}  // namespace dravik::preview
