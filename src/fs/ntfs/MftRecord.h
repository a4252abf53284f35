#pragma once
// An MFT record of 1024 bytes: header, update sequence, and attributes.
//
//   0  "FILE"      4  update sequence offset   6  update sequence count
//   20 first attribute offset   22 flags (bit 0 in use, bit 1 directory)
//   32 base record reference (extension records)   44 the record's own
//   number (NTFS 3.1, whose update sequence array starts at 48)
// Attribute header: 0 type, 4 length, 8 non-resident, 9 name length,
// 10 name offset, 12 flags; resident: 16 value length, 20 value offset;
// non-resident: 16 first VCN, 32 run list offset, 34 compression unit,
// 48 real size.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/Bytes.h"

namespace dravik::ntfs {

constexpr std::size_t kRecordSize = 1024;
constexpr std::uint32_t kRecordSectors = 2;
constexpr std::size_t kUpdateSequenceOffset = 4;
constexpr std::size_t kUpdateSequenceCountOffset = 6;
constexpr std::size_t kFirstAttributeOffset = 20;
constexpr std::size_t kFlagsOffset = 22;
constexpr std::size_t kBaseRecordOffset = 32;
constexpr std::size_t kRecordNumberOffset = 44;
// Where NTFS 3.1 puts the update sequence array: after the record number.
// NTFS 3.0 records keep it at 42, over the bytes the number takes later.
constexpr std::size_t kNumberedUpdateSequenceOffset = 48;

constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kIndexAllocation = 0xA0;

constexpr std::size_t kAttrTypeOffset = 0;
constexpr std::size_t kAttrLengthOffset = 4;
constexpr std::size_t kAttrNonResidentOffset = 8;
constexpr std::size_t kAttrNameLengthOffset = 9;
constexpr std::size_t kAttrNameOffsetOffset = 10;
constexpr std::size_t kAttrFlagsOffset = 12;
constexpr std::size_t kAttrValueLengthOffset = 16;
constexpr std::size_t kAttrValueOffsetOffset = 20;
constexpr std::size_t kAttrFirstVcnOffset = 16;
constexpr std::size_t kAttrRunListOffset = 32;
constexpr std::size_t kAttrCompressionUnitOffset = 34;
constexpr std::size_t kAttrRealSizeOffset = 48;
constexpr std::size_t kAttrInitializedSizeOffset = 56;
constexpr std::uint16_t kAttrCompressed = 0x0001;

// $FILE_NAME value.
constexpr std::size_t kFileNameParentOffset = 0;
constexpr std::size_t kFileNameCreationOffset = 8;
constexpr std::size_t kFileNameModificationOffset = 16;
constexpr std::size_t kFileNameAccessOffset = 32;
constexpr std::size_t kFileNameLengthOffset = 64;
constexpr std::size_t kFileNameNamespaceOffset = 65;
constexpr std::size_t kFileNameCharsOffset = 66;

// $STANDARD_INFORMATION value: the times the file system shows for a file.
constexpr std::size_t kStandardModificationOffset = 8;
constexpr std::size_t kStandardAccessOffset = 24;
constexpr std::size_t kStandardTimesSize = 32;

bool IsRecord(Bytes record);

// Puts back the last two bytes of each sector from the update sequence array.
void ApplyFixup(std::span<std::uint8_t> record);

std::uint8_t RecordFlags(Bytes record);

// The number the record carries in its header; none for records that do
// not carry one (NTFS 3.0 and older).
std::optional<std::uint32_t> RecordNumber(Bytes record);

// Offsets of the record's attributes, walked from the first-attribute offset
// by their lengths: a type of 0 or 0xFFFFFFFF, an offset of 1023 or more or
// a length of 0 or above 1023 ends the walk.
std::vector<std::size_t> AttributeOffsets(Bytes record);

struct FileName {
  std::u16string name;
  std::uint32_t parentId = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t modificationTime = 0;
  std::uint64_t accessTime = 0;
};

// The first unnamed $FILE_NAME of the namespace: 1 takes POSIX (0) or Win32
// (1) names; 2 (DOS) and 3 (Win32 and DOS) take only their own.
std::optional<FileName> FindFileName(Bytes record, std::uint8_t wantedNamespace);

// The modification and access times of the record's $STANDARD_INFORMATION,
// which (unlike those of $FILE_NAME) follow every change of the file.
struct StandardTimes {
  std::uint64_t modificationTime = 0;
  std::uint64_t accessTime = 0;
};

std::optional<StandardTimes> FindStandardTimes(Bytes record);

// Where an attribute's value is: in the record (resident) or in the clusters
// its run list names.
struct AttributeValue {
  bool resident = false;
  std::uint64_t size = 0;  // value length (resident) or real size
  Bytes value;             // resident only
  Bytes runList;           // non-resident only
};

AttributeValue ReadAttributeValue(Bytes record, std::size_t attribute);

// The offset of the first attribute of this type and name ("$I30", "$Bad").
std::optional<std::size_t> FindNamedAttribute(Bytes record, std::uint32_t type, std::u16string_view name);

// The unnamed $DATA attribute of a record.
struct DataAttribute : AttributeValue {
  std::size_t offset = 0;  // in the record
  std::uint64_t initializedSize = 0;  // non-resident: bytes written so far; the rest reads as zeros
  std::uint64_t firstVcn = 0;
  bool compressed = false;
  std::uint32_t compressionUnitClusters = 0;
};

std::optional<DataAttribute> FindData(Bytes record);

// A record's $ATTRIBUTE_LIST.
std::optional<AttributeValue> FindAttributeList(Bytes record);

// Record numbers named by the entries of an attribute list, of every
// attribute or only of the wanted type, in list order.
std::vector<std::uint32_t> ListedRecords(Bytes list, std::optional<std::uint32_t> wantedType = std::nullopt);

// The base record an extension record belongs to; 0 for a base record.
std::uint32_t BaseRecordNumber(Bytes record);

}  // namespace dravik::ntfs
