#include "fs/ntfs/MftRecord.h"

namespace dravik::ntfs {

namespace {

constexpr std::size_t kWalkLimit = 1023;
constexpr std::size_t kUpdateSequenceLimit = 84;
constexpr std::size_t kListEntryTypeOffset = 0;
constexpr std::size_t kListEntryLengthOffset = 4;
constexpr std::size_t kListEntryRecordOffset = 16;

bool Unnamed(Bytes record, std::size_t attribute) { return u8(record, attribute + kAttrNameLengthOffset) == 0; }

bool NamespaceAccepted(std::uint8_t wanted, std::uint8_t found) {
  return wanted == 1 ? (found == 0 || found == 1) : found == wanted;
}

}  // namespace

bool IsRecord(Bytes record) { return HasAscii(record, 0, "FILE"); }

void ApplyFixup(std::span<std::uint8_t> record) {
  const std::size_t array = le16(record, kUpdateSequenceOffset);
  const std::size_t count = le16(record, kUpdateSequenceCountOffset);
  if (count < 2) return;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const std::size_t source = array + 2 + 2 * i;
    const std::size_t target = 510 + 512 * i;
    if (source >= kUpdateSequenceLimit || source + 2 > record.size() || target + 2 > record.size()) return;
    record[target] = record[source];
    record[target + 1] = record[source + 1];
  }
}

std::uint8_t RecordFlags(Bytes record) { return u8(record, kFlagsOffset); }

std::optional<std::uint32_t> RecordNumber(Bytes record) {
  if (record.size() < kNumberedUpdateSequenceOffset) return std::nullopt;
  if (le16(record, kUpdateSequenceOffset) < kNumberedUpdateSequenceOffset) return std::nullopt;
  return le32(record, kRecordNumberOffset);
}

std::vector<std::size_t> AttributeOffsets(Bytes record) {
  std::vector<std::size_t> offsets;
  std::size_t at = le16(record, kFirstAttributeOffset);
  while (at < kWalkLimit) {
    const std::uint32_t type = le32(record, at + kAttrTypeOffset);
    const std::uint32_t length = le32(record, at + kAttrLengthOffset);
    if (type == 0 || type == 0xFFFFFFFF || length == 0 || length > kWalkLimit) break;
    offsets.push_back(at);
    at += length;
  }
  return offsets;
}

std::optional<FileName> FindFileName(Bytes record, std::uint8_t wantedNamespace) {
  for (const std::size_t at : AttributeOffsets(record)) {
    if (le32(record, at) != kFileName || !Unnamed(record, at)) continue;
    const std::size_t value = at + le16(record, at + kAttrValueOffsetOffset);
    if (value >= kWalkLimit) continue;
    if (!NamespaceAccepted(wantedNamespace, u8(record, value + kFileNameNamespaceOffset))) continue;
    const std::size_t length = u8(record, value + kFileNameLengthOffset);
    const Bytes chars = Slice(record, value + kFileNameCharsOffset, 2 * length);
    if (chars.size() != 2 * length) continue;
    FileName name;
    for (std::size_t i = 0; i < length; ++i) name.name += static_cast<char16_t>(le16(chars, 2 * i));
    name.parentId = le32(record, value + kFileNameParentOffset);
    name.creationTime = le64(record, value + kFileNameCreationOffset);
    name.modificationTime = le64(record, value + kFileNameModificationOffset);
    name.accessTime = le64(record, value + kFileNameAccessOffset);
    return name;
  }
  return std::nullopt;
}

std::optional<StandardTimes> FindStandardTimes(Bytes record) {
  for (const std::size_t at : AttributeOffsets(record)) {
    if (le32(record, at) != kStandardInformation || u8(record, at + kAttrNonResidentOffset) != 0) continue;
    const AttributeValue v = ReadAttributeValue(record, at);
    if (v.value.size() < kStandardTimesSize) return std::nullopt;
    return StandardTimes{le64(v.value, kStandardModificationOffset), le64(v.value, kStandardAccessOffset)};
  }
  return std::nullopt;
}

AttributeValue ReadAttributeValue(Bytes record, std::size_t at) {
  AttributeValue v;
  v.resident = u8(record, at + kAttrNonResidentOffset) == 0;
  if (v.resident) {
    v.size = le32(record, at + kAttrValueLengthOffset);
    v.value = Slice(record, at + le16(record, at + kAttrValueOffsetOffset), static_cast<std::size_t>(v.size));
  } else {
    v.size = le64(record, at + kAttrRealSizeOffset);
    const std::size_t length = le32(record, at + kAttrLengthOffset);
    const std::size_t runs = le16(record, at + kAttrRunListOffset);
    if (runs < length) v.runList = Slice(record, at + runs, length - runs);
  }
  return v;
}

std::optional<std::size_t> FindNamedAttribute(Bytes record, std::uint32_t type, std::u16string_view name) {
  for (const std::size_t at : AttributeOffsets(record)) {
    if (le32(record, at) != type || u8(record, at + kAttrNameLengthOffset) != name.size()) continue;
    const std::size_t chars = at + le16(record, at + kAttrNameOffsetOffset);
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) same = le16(record, chars + 2 * i) == name[i];
    if (same) return at;
  }
  return std::nullopt;
}

std::optional<DataAttribute> FindData(Bytes record) {
  for (const std::size_t at : AttributeOffsets(record)) {
    if (le32(record, at) != kData || !Unnamed(record, at)) continue;
    DataAttribute data;
    static_cast<AttributeValue&>(data) = ReadAttributeValue(record, at);
    data.offset = at;
    if (!data.resident) {
      data.initializedSize = le64(record, at + kAttrInitializedSizeOffset);
      data.firstVcn = le64(record, at + kAttrFirstVcnOffset);
      data.compressed = (le16(record, at + kAttrFlagsOffset) & kAttrCompressed) != 0;
      const std::uint16_t unit = le16(record, at + kAttrCompressionUnitOffset);
      data.compressionUnitClusters = unit > 0 && unit < 16 ? 1u << unit : 0;
    }
    return data;
  }
  return std::nullopt;
}

std::optional<AttributeValue> FindAttributeList(Bytes record) {
  for (const std::size_t at : AttributeOffsets(record))
    if (le32(record, at) == kAttributeList) return ReadAttributeValue(record, at);
  return std::nullopt;
}

std::vector<std::uint32_t> ListedRecords(Bytes list, std::optional<std::uint32_t> wantedType) {
  std::vector<std::uint32_t> records;
  std::size_t entry = 0;
  while (entry + kListEntryRecordOffset + 4 <= list.size()) {
    const std::uint32_t type = le32(list, entry + kListEntryTypeOffset);
    const std::uint16_t length = le16(list, entry + kListEntryLengthOffset);
    if (type == 0 || type == 0xFFFFFFFF || length == 0) break;
    if (!wantedType || type == *wantedType) records.push_back(le32(list, entry + kListEntryRecordOffset));
    entry += length;
  }
  return records;
}

std::uint32_t BaseRecordNumber(Bytes record) {
  return static_cast<std::uint32_t>(le64(record, kBaseRecordOffset) & 0xFFFFFFFFFFFFULL);
}

}  // namespace dravik::ntfs
