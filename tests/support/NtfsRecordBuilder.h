#pragma once
// Builds NTFS MFT records byte by byte, for the cases ntfs-3g never writes
// (a resident attribute list, a record with only a DOS name, the MFT's own
// runs continued in an extension record) and for the unit tests of the
// record readers. Independent of the engine's own record code.

#include <cstdint>
#include <string>
#include <vector>

namespace dravik::test::ntfs {

constexpr std::size_t kRecordBytes = 1024;
constexpr std::uint32_t kTypeStandardInformation = 0x10;
constexpr std::uint32_t kTypeAttributeList = 0x20;
constexpr std::uint32_t kTypeFileName = 0x30;
constexpr std::uint32_t kTypeData = 0x80;
constexpr std::uint32_t kTypeBitmap = 0xB0;

// Namespaces of a $FILE_NAME.
constexpr std::uint8_t kPosix = 0;
constexpr std::uint8_t kWin32 = 1;
constexpr std::uint8_t kDos = 2;
constexpr std::uint8_t kWin32AndDos = 3;

// One run of a run list: clusters at an absolute cluster, or a hole.
struct RunPiece {
  std::uint64_t clusters = 0;
  bool sparse = false;
  std::uint64_t firstCluster = 0;
};

// Encodes runs with the fewest bytes per field; offsets are written relative
// to the previous run with clusters, as signed numbers. Ends with the 0 byte.
std::vector<std::uint8_t> EncodeRuns(const std::vector<RunPiece>& runs);

// A $FILE_NAME value.
std::vector<std::uint8_t> FileNameValue(std::uint64_t parentRecord, const std::u16string& name, std::uint8_t nameSpace,
                                        std::uint64_t creationTime = 0, std::uint64_t realSize = 0);

// An $ATTRIBUTE_LIST value.
struct ListEntry {
  std::uint32_t type = 0;
  std::uint64_t firstVcn = 0;
  std::uint64_t record = 0;
  std::uint16_t id = 0;
};
std::vector<std::uint8_t> AttributeListValue(const std::vector<ListEntry>& entries);

class RecordBuilder {
 public:
  // flags: bit 0 in use, bit 1 directory. baseRecord: 0 for a base record.
  explicit RecordBuilder(std::uint16_t flags = 1, std::uint64_t baseRecord = 0, std::uint32_t recordNumber = 0);

  RecordBuilder& Resident(std::uint32_t type, const std::vector<std::uint8_t>& value, const std::u16string& name = u"");
  RecordBuilder& NonResident(std::uint32_t type, const std::vector<RunPiece>& runs, std::uint64_t firstVcn,
                             std::uint64_t lastVcn, std::uint64_t realSize, std::uint64_t allocatedSize,
                             std::uint16_t compressionUnit = 0, const std::u16string& name = u"");

  // The record without its update sequence applied: what a reader sees after
  // the fix-up.
  std::vector<std::uint8_t> Plain() const;
  // The record as it lies on disk: the last two bytes of each sector moved
  // into the update sequence array and replaced by the sequence number.
  std::vector<std::uint8_t> Protected(std::uint16_t sequenceNumber = 0x0107) const;

 private:
  std::uint16_t flags_;
  std::uint64_t baseRecord_;
  std::uint32_t recordNumber_;
  std::uint16_t nextId_ = 0;
  std::vector<std::vector<std::uint8_t>> attributes_;
};

// Offset of the first attribute of the type in a (fixed-up) record, or
// npos; unnamed attributes only when unnamedOnly.
constexpr std::size_t kNoAttribute = static_cast<std::size_t>(-1);
std::size_t FindAttribute(const std::vector<std::uint8_t>& record, std::uint32_t type, bool unnamedOnly = true);

// Undoes the update sequence of a record read from disk (for the tests'
// own look at records), and applies it again after an edit, with the
// record's own sequence number.
void UndoUpdateSequence(std::vector<std::uint8_t>& record);
void RedoUpdateSequence(std::vector<std::uint8_t>& record);

// The base record a record belongs to (0 for a base record).
std::uint64_t BaseRecordOf(const std::vector<std::uint8_t>& record);

}  // namespace dravik::test::ntfs
