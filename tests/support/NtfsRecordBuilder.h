#pragma once
// Builds NTFS MFT records byte by byte, independently of the engine's record
// code, for shapes ntfs-3g never writes and for the record readers' tests.

#include <cstdint>
#include <string>
#include <vector>

namespace dravik::test::ntfs {

constexpr std::size_t kRecordBytes = 1024;
constexpr std::uint32_t kTypeStandardInformation = 0x10;
constexpr std::uint32_t kTypeAttributeList = 0x20;
constexpr std::uint32_t kTypeFileName = 0x30;
constexpr std::uint32_t kTypeData = 0x80;

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

  // The record as a reader sees it after the fix-up.
  std::vector<std::uint8_t> Plain() const;
  // As it lies on disk: each sector's last two bytes moved into the update
  // sequence array, the sequence number in their place.
  std::vector<std::uint8_t> Protected(std::uint16_t sequenceNumber = 0x0107) const;

 private:
  std::uint16_t flags_;
  std::uint64_t baseRecord_;
  std::uint32_t recordNumber_;
  std::uint16_t nextId_ = 0;
  std::vector<std::vector<std::uint8_t>> attributes_;
};

// Offset of the first (unnamed, when unnamedOnly) attribute of the type in a
// fixed-up record, or kNoAttribute.
constexpr std::size_t kNoAttribute = static_cast<std::size_t>(-1);
std::size_t FindAttribute(const std::vector<std::uint8_t>& record, std::uint32_t type, bool unnamedOnly = true);

// Undoes a record's update sequence, and applies it again after an edit.
void UndoUpdateSequence(std::vector<std::uint8_t>& record);
void RedoUpdateSequence(std::vector<std::uint8_t>& record);

}  // namespace dravik::test::ntfs
