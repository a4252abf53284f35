#include "NtfsRecordBuilder.h"

#include <algorithm>
#include <stdexcept>

#include "Bytes.h"

namespace dravik::test::ntfs {

namespace {

constexpr std::size_t kSequenceArrayOffset = 48;
constexpr std::uint16_t kSequenceCount = 3;  // the number and one entry per sector
constexpr std::size_t kFirstAttribute = 56;

std::size_t Align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// Bytes needed for a value, signed or not.
std::size_t Width(std::uint64_t value, bool isSigned) {
  std::size_t width = 1;
  const auto fits = [&] {
    const auto v = static_cast<std::int64_t>(value);
    const std::int64_t half = std::int64_t{1} << (8 * width - 1);
    return isSigned ? v >= -half && v < half : (value >> (8 * width)) == 0;
  };
  while (width < 8 && !fits()) ++width;
  return width;
}

void PutName(std::vector<std::uint8_t>& attribute, std::size_t at, const std::u16string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) PutInt(attribute, at + 2 * i, name[i], 2);
}

// Runs with the fewest bytes per field, offsets signed and relative to the
// previous run with clusters, then the 0 byte.
std::vector<std::uint8_t> EncodeRuns(const std::vector<RunPiece>& runs) {
  std::vector<std::uint8_t> out;
  std::int64_t previous = 0;
  for (const RunPiece& run : runs) {
    const std::size_t lengthWidth = Width(run.clusters, false);
    std::size_t offsetWidth = 0;
    std::int64_t delta = 0;
    if (!run.sparse) {
      delta = static_cast<std::int64_t>(run.firstCluster) - previous;
      offsetWidth = Width(static_cast<std::uint64_t>(delta), true);
      previous = static_cast<std::int64_t>(run.firstCluster);
    }
    out.push_back(static_cast<std::uint8_t>(lengthWidth | (offsetWidth << 4)));
    PutInt(out, out.size(), run.clusters, lengthWidth);
    PutInt(out, out.size(), static_cast<std::uint64_t>(delta), offsetWidth);
  }
  out.push_back(0);
  return out;
}

// Calls fix(the last two bytes' offset, their slot in the update sequence array) for each sector of the record.
template <typename Fix>
void EachSectorEnd(const std::vector<std::uint8_t>& record, Fix fix) {
  const auto array = static_cast<std::size_t>(GetInt(record, 4, 2));
  const auto count = static_cast<std::size_t>(GetInt(record, 6, 2));
  for (std::size_t sector = 0; sector + 1 < count && 512 * (sector + 1) <= record.size(); ++sector)
    fix(510 + 512 * sector, array + 2 + 2 * sector);
}

}  // namespace

std::vector<std::uint8_t> FileNameValue(std::uint64_t parentRecord, const std::u16string& name, std::uint8_t nameSpace,
                                        std::uint64_t creationTime, std::uint64_t realSize) {
  std::vector<std::uint8_t> value(66 + 2 * name.size(), 0);
  PutInt(value, 0, parentRecord | (std::uint64_t{1} << 48), 8);  // sequence 1
  for (std::size_t at = 8; at <= 32; at += 8) PutInt(value, at, creationTime, 8);
  PutInt(value, 40, (realSize + 4095) / 4096 * 4096, 8);
  PutInt(value, 48, realSize, 8);
  PutInt(value, 56, 0x20, 4);  // archive
  value[64] = static_cast<std::uint8_t>(name.size());
  value[65] = nameSpace;
  PutName(value, 66, name);
  return value;
}

std::vector<std::uint8_t> AttributeListValue(const std::vector<ListEntry>& entries) {
  std::vector<std::uint8_t> value;
  for (const ListEntry& entry : entries) {
    const std::size_t at = value.size();
    PutInt(value, at, entry.type, 4);
    PutInt(value, at + 4, 32, 2);
    value[at + 6] = 0;   // name length
    value[at + 7] = 26;  // name offset
    PutInt(value, at + 8, entry.firstVcn, 8);
    PutInt(value, at + 16, entry.record | (std::uint64_t{1} << 48), 8);
    PutInt(value, at + 24, entry.id, 2);
    PutInt(value, at + 26, 0, 6);
  }
  return value;
}

RecordBuilder::RecordBuilder(std::uint16_t flags, std::uint64_t baseRecord, std::uint32_t recordNumber)
    : flags_(flags), baseRecord_(baseRecord), recordNumber_(recordNumber) {}

RecordBuilder& RecordBuilder::Resident(std::uint32_t type, const std::vector<std::uint8_t>& value,
                                       const std::u16string& name) {
  const std::size_t nameOffset = 24;
  const std::size_t valueOffset = Align8(nameOffset + 2 * name.size());
  std::vector<std::uint8_t> a(Align8(valueOffset + value.size()), 0);
  PutInt(a, 0, type, 4);
  PutInt(a, 4, a.size(), 4);
  a[8] = 0;
  a[9] = static_cast<std::uint8_t>(name.size());
  PutInt(a, 10, nameOffset, 2);
  PutInt(a, 14, nextId_++, 2);
  PutInt(a, 16, value.size(), 4);
  PutInt(a, 20, valueOffset, 2);
  PutName(a, nameOffset, name);
  std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueOffset));
  attributes_.push_back(std::move(a));
  return *this;
}

RecordBuilder& RecordBuilder::NonResident(std::uint32_t type, const std::vector<RunPiece>& runs, std::uint64_t firstVcn,
                                          std::uint64_t lastVcn, std::uint64_t realSize, std::uint64_t allocatedSize,
                                          std::uint16_t compressionUnit, const std::u16string& name) {
  const std::size_t header = compressionUnit ? 72 : 64;
  const std::size_t runsOffset = Align8(header + 2 * name.size());
  const std::vector<std::uint8_t> encoded = EncodeRuns(runs);
  std::vector<std::uint8_t> a(Align8(runsOffset + encoded.size()), 0);
  PutInt(a, 0, type, 4);
  PutInt(a, 4, a.size(), 4);
  a[8] = 1;
  a[9] = static_cast<std::uint8_t>(name.size());
  PutInt(a, 10, header, 2);
  PutInt(a, 12, compressionUnit ? 1 : 0, 2);  // compressed flag
  PutInt(a, 14, nextId_++, 2);
  PutInt(a, 16, firstVcn, 8);
  PutInt(a, 24, lastVcn, 8);
  PutInt(a, 32, runsOffset, 2);
  PutInt(a, 34, compressionUnit, 2);
  PutInt(a, 40, allocatedSize, 8);
  PutInt(a, 48, realSize, 8);
  PutInt(a, 56, realSize, 8);
  if (compressionUnit) PutInt(a, 64, allocatedSize, 8);
  PutName(a, header, name);
  std::copy(encoded.begin(), encoded.end(), a.begin() + static_cast<std::ptrdiff_t>(runsOffset));
  attributes_.push_back(std::move(a));
  return *this;
}

std::vector<std::uint8_t> RecordBuilder::Plain() const {
  std::vector<std::uint8_t> r(kRecordBytes, 0);
  std::copy_n("FILE", 4, r.begin());
  PutInt(r, 4, kSequenceArrayOffset, 2);
  PutInt(r, 6, kSequenceCount, 2);
  PutInt(r, 16, 1, 2);  // sequence number
  PutInt(r, 18, 1, 2);  // link count
  PutInt(r, 20, kFirstAttribute, 2);
  PutInt(r, 22, flags_, 2);
  PutInt(r, 28, kRecordBytes, 4);
  PutInt(r, 32, baseRecord_ ? (baseRecord_ | (std::uint64_t{1} << 48)) : 0, 8);
  PutInt(r, 40, nextId_, 2);
  PutInt(r, 44, recordNumber_, 4);
  std::size_t at = kFirstAttribute;
  for (const auto& a : attributes_) {
    if (at + a.size() + 8 > kRecordBytes) throw std::length_error("the attributes do not fit in one record");
    std::copy(a.begin(), a.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
    at += a.size();
  }
  PutInt(r, at, 0xFFFFFFFF, 4);
  PutInt(r, 24, at + 8, 4);  // bytes in use
  return r;
}

std::vector<std::uint8_t> RecordBuilder::Protected(std::uint16_t sequenceNumber) const {
  std::vector<std::uint8_t> r = Plain();
  PutInt(r, kSequenceArrayOffset, sequenceNumber, 2);
  RedoUpdateSequence(r);
  return r;
}

std::size_t FindAttribute(const std::vector<std::uint8_t>& record, std::uint32_t type, bool unnamedOnly) {
  std::size_t at = static_cast<std::size_t>(GetInt(record, 20, 2));
  while (at + 8 <= record.size()) {
    const std::uint64_t found = GetInt(record, at, 4);
    const std::uint64_t length = GetInt(record, at + 4, 4);
    if (found == 0xFFFFFFFF || length == 0) break;
    if (found == type && (!unnamedOnly || record[at + 9] == 0)) return at;
    at += static_cast<std::size_t>(length);
  }
  return kNoAttribute;
}

void UndoUpdateSequence(std::vector<std::uint8_t>& record) {
  EachSectorEnd(record, [&](std::size_t end, std::size_t slot) { PutInt(record, end, GetInt(record, slot, 2), 2); });
}

void RedoUpdateSequence(std::vector<std::uint8_t>& record) {
  const std::uint64_t number = GetInt(record, static_cast<std::size_t>(GetInt(record, 4, 2)), 2);
  EachSectorEnd(record, [&](std::size_t end, std::size_t slot) {
    PutInt(record, slot, GetInt(record, end, 2), 2);
    PutInt(record, end, number, 2);
  });
}

}  // namespace dravik::test::ntfs
