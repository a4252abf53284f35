// The NTFS Quick Scan and save on damaged and hand-edited copies of the ntfs-3g volume of make-ntfs-fixtures.sh (the
// intact volume: matrix/ContainerMatrixTest), and times saved to the nanosecond; the record readers on hand-built
// bytes the volume cannot show (whole LZNT1 streams: the volume's compressed files, which the matrix saves).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "Bytes.h"
#include "NtfsFixtures.h"
#include "PartitionFixtures.h"
#include "fs/ntfs/Lznt1.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/RunList.h"

namespace dravik {
namespace {

using test::NtfsFixture;
using test::VolumeScan;
using test::NtfsStart;
using test::ScanItem;
namespace fs = std::filesystem;

// The records of live.manifest's files under prefix, in order: places for crafted records.
std::vector<std::uint32_t> LiveRecords(const std::string& prefix) {
  std::vector<std::uint32_t> records;
  for (const auto& entry : test::ReadNtfsManifest("live.manifest"))
    if (entry.path.rfind(prefix, 0) == 0) records.push_back(entry.record);
  std::sort(records.begin(), records.end());
  return records;
}

// cases.list: name -> MFT record.
std::map<std::string, std::uint32_t> NtfsCaseRecords() {
  return test::ReadNamedNumbers(NtfsFixture("cases.list"));
}

// NTFS MFT records built byte by byte, independently of the engine's record code, for shapes ntfs-3g never writes
// and for the record readers' tests.
namespace b {

using test::GetInt;
using test::PutInt;

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

// Runs with the fewest bytes per field, offsets signed and relative to the previous run with clusters, then the 0
// byte.
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

std::vector<std::uint8_t> FileNameValue(std::uint64_t parentRecord, const std::u16string& name, std::uint8_t nameSpace,
                                        std::uint64_t creationTime = 0, std::uint64_t realSize = 0) {
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

// An $ATTRIBUTE_LIST entry.
struct ListEntry {
  std::uint32_t type = 0;
  std::uint64_t firstVcn = 0;
  std::uint64_t record = 0;
  std::uint16_t id = 0;
};

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

// Undoes a record's update sequence, and applies it again after an edit.
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

class RecordBuilder {
 public:
  // flags: bit 0 in use, bit 1 directory. baseRecord: 0 for a base record.
  explicit RecordBuilder(std::uint16_t flags = 1, std::uint64_t baseRecord = 0, std::uint32_t recordNumber = 0)
      : flags_(flags), baseRecord_(baseRecord), recordNumber_(recordNumber) {}

  RecordBuilder& Resident(std::uint32_t type, const std::vector<std::uint8_t>& value,
                          const std::u16string& name = u"") {
    const std::size_t valueOffset = Align8(24 + 2 * name.size());
    std::vector<std::uint8_t> a = Attribute(type, false, 24, name, Align8(valueOffset + value.size()));
    PutInt(a, 16, value.size(), 4);
    PutInt(a, 20, valueOffset, 2);
    return Add(std::move(a), valueOffset, value);
  }

  RecordBuilder& NonResident(std::uint32_t type, const std::vector<RunPiece>& runs, std::uint64_t firstVcn,
                             std::uint64_t lastVcn, std::uint64_t realSize, std::uint64_t allocatedSize,
                             std::uint16_t compressionUnit = 0, const std::u16string& name = u"") {
    const std::size_t header = compressionUnit ? 72 : 64;
    const std::size_t runsOffset = Align8(header + 2 * name.size());
    const std::vector<std::uint8_t> encoded = EncodeRuns(runs);
    std::vector<std::uint8_t> a = Attribute(type, true, header, name, Align8(runsOffset + encoded.size()));
    PutInt(a, 12, compressionUnit ? 1 : 0, 2);  // compressed flag
    PutInt(a, 16, firstVcn, 8);
    PutInt(a, 24, lastVcn, 8);
    PutInt(a, 32, runsOffset, 2);
    PutInt(a, 34, compressionUnit, 2);
    PutInt(a, 40, allocatedSize, 8);
    PutInt(a, 48, realSize, 8);
    PutInt(a, 56, realSize, 8);
    if (compressionUnit) PutInt(a, 64, allocatedSize, 8);
    return Add(std::move(a), runsOffset, encoded);
  }

  // The record as a reader sees it after the fix-up.
  std::vector<std::uint8_t> Plain() const {
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

  // As it lies on disk: each sector's last two bytes moved into the update sequence array, the sequence number in
  // their place.
  std::vector<std::uint8_t> Protected(std::uint16_t sequenceNumber = 0x0107) const {
    std::vector<std::uint8_t> r = Plain();
    PutInt(r, kSequenceArrayOffset, sequenceNumber, 2);
    RedoUpdateSequence(r);
    return r;
  }

 private:
  // An attribute of size bytes with the header fields both forms share, its name at nameOffset.
  std::vector<std::uint8_t> Attribute(std::uint32_t type, bool nonResident, std::size_t nameOffset,
                                      const std::u16string& name, std::size_t size) {
    std::vector<std::uint8_t> a(size, 0);
    PutInt(a, 0, type, 4);
    PutInt(a, 4, a.size(), 4);
    a[8] = nonResident ? 1 : 0;
    a[9] = static_cast<std::uint8_t>(name.size());
    PutInt(a, 10, nameOffset, 2);
    PutInt(a, 14, nextId_++, 2);
    PutName(a, nameOffset, name);
    return a;
  }

  // Puts the value or run list at its offset and appends the attribute.
  RecordBuilder& Add(std::vector<std::uint8_t> a, std::size_t at, const std::vector<std::uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), a.begin() + static_cast<std::ptrdiff_t>(at));
    attributes_.push_back(std::move(a));
    return *this;
  }

  std::uint16_t flags_;
  std::uint64_t baseRecord_;
  std::uint32_t recordNumber_;
  std::uint16_t nextId_ = 0;
  std::vector<std::vector<std::uint8_t>> attributes_;
};

// Offset of the first (unnamed, when unnamedOnly) attribute of the type in a fixed-up record, or kNoAttribute.
constexpr std::size_t kNoAttribute = static_cast<std::size_t>(-1);
std::size_t FindAttribute(const std::vector<std::uint8_t>& record, std::uint32_t type, bool unnamedOnly = true) {
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

}  // namespace b

// A sparse copy of ntfs.raw, to be damaged by edits of its MFT records.
class NtfsDiskCopy : public test::DiskCopy {
 public:
  NtfsDiskCopy() : DiskCopy(NtfsFixture("ntfs.raw"), "ntfs.raw"), start_(NtfsStart()) {
    mftRuns_ = test::IstatRuns(NtfsFixture("ntfs.raw"), start_, 0);
  }

  // Byte offset of an MFT record on the disk, from the $MFT runs istat gives.
  std::uint64_t RecordOffset(std::uint32_t record) const {
    constexpr std::uint64_t kClusterBytes = 4096;  // mkntfs's choice for a 64 MiB volume (fsstat agrees)
    std::uint64_t offset = std::uint64_t{record} * b::kRecordBytes;
    for (const auto& [first, clusters] : mftRuns_) {
      if (offset < clusters * kClusterBytes) return std::uint64_t{start_} * 512 + first * kClusterBytes + offset;
      offset -= clusters * kClusterBytes;
    }
    throw std::out_of_range("record " + std::to_string(record) + " lies past the MFT");
  }

  std::vector<std::uint8_t> ReadRecord(std::uint32_t record) const {  // as on disk
    return test::BytesAt(Raw(), RecordOffset(record), b::kRecordBytes);
  }

  void WriteRecord(std::uint32_t record, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != b::kRecordBytes) throw std::invalid_argument("a record is 1024 bytes");
    Patch(RecordOffset(record), bytes);
  }

 private:
  std::uint32_t start_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mftRuns_;
};

// The intact listing with the items of some records left out.
std::vector<ScanItem> Without(std::vector<ScanItem> items, const std::set<std::uint32_t>& records) {
  std::erase_if(items, [&](const ScanItem& item) { return records.count(item.id) != 0; });
  return items;
}

void ClearSignature(NtfsDiskCopy& disk, std::uint32_t record) {
  disk.Patch(disk.RecordOffset(record), {0, 0, 0, 0});
}

TEST(NtfsDamageTest, RecordsWithoutSignatureAreLeftOutTheirChildrenGoUnderLostDir) {
  const VolumeScan intact(NtfsFixture("ntfs.vhdx"));
  // Records without their signature: a file's, which is left out alone; one
  // lost folder with a sub-folder, one with only a file: "Dir" numbers go to
  // the parents that folders name first, then to those only files name.
  const std::uint32_t file = intact.Find("docs/reports/summary.txt").value().id;
  const std::uint32_t withFolder = intact.Find("docs/reports/2024").value().id;
  const std::uint32_t withFile = intact.Find("names/Ünïcödé").value().id;
  NtfsDiskCopy disk;
  for (const std::uint32_t record : {file, withFolder, withFile}) ClearSignature(disk, record);
  const VolumeScan damaged(disk.Raw());

  std::vector<ScanItem> want = Without(intact.Items(), {file, withFolder, withFile});
  for (ScanItem& item : want) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"docs/reports/2024/", "Lost Dir/Dir0/"},
                                   {"names/Ünïcödé/", "Lost Dir/Dir1/"}})
      if (item.path.rfind(from, 0) == 0) item.path = to + item.path.substr(from.size());
  }
  auto listing = test::Listing(want);
  listing.insert(test::ShowItem(true, false, withFolder, "Lost Dir/Dir0", 0));
  listing.insert(test::ShowItem(true, false, withFile, "Lost Dir/Dir1", 0));
  test::ExpectSameListing(test::Listing(damaged.Items()), listing);
}

TEST(NtfsDamageTest, UnreadableRecordZeroOrRootLeavesOnlyLostDir) {
  for (const std::uint32_t record : {0u, 5u}) {
    NtfsDiskCopy disk;
    ClearSignature(disk, record);
    const VolumeScan damaged(disk.Raw());
    ASSERT_TRUE(damaged.result.Usable()) << "record " << record;
    EXPECT_EQ(damaged.result.message, QuickScanTexts::kNothingFound) << "record " << record;
    ASSERT_EQ(damaged.Items().size(), 1u) << "record " << record;
    EXPECT_TRUE(damaged.Items()[0].folder && damaged.Items()[0].id == kLostDirId) << "record " << record;
  }
}

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> InRoot(const std::u16string& name, std::uint8_t space) {
  return b::FileNameValue(kNtfsRootId, name, space, 132000000000000000ULL);
}

// Records ntfs-3g does not write, in place of small files' records: only a
// DOS name; a DOS name before a POSIX one; a DOS name before a Win32-and-DOS
// one. And a base record whose name lives in an extension record its
// (resident) attribute list names: the extension record belongs to its base
// and is not listed on its own.
TEST(NtfsCraftedTest, NamesByNamespacePreferenceAndThroughAttributeLists) {
  const VolumeScan intact(NtfsFixture("ntfs.vhdx"));
  const auto slots = LiveRecords("many/d19/file199");
  ASSERT_EQ(slots.size(), 10u);
  NtfsDiskCopy disk;
  const auto file = [&](std::uint32_t record, std::vector<std::pair<std::u16string, std::uint8_t>> names, const std::string& data) {
    b::RecordBuilder builder(1, 0, record);
    for (const auto& [name, space] : names) builder.Resident(b::kTypeFileName, InRoot(name, space));
    disk.WriteRecord(record, builder.Resident(b::kTypeData, Text(data)).Protected());
  };
  file(slots[0], {{u"ONLYDOS.TXT", b::kDos}}, "dos only\n");
  file(slots[1], {{u"PREFER~1.TXT", b::kDos}, {u"preferred name.txt", b::kPosix}}, "posix\n");
  file(slots[2], {{u"BOTH~1.TXT", b::kDos}, {u"Both.txt", b::kWin32AndDos}}, "both\n");
  const std::uint32_t base = slots[6], named = slots[7];
  disk.WriteRecord(base, b::RecordBuilder(1, 0, base)
                             .Resident(b::kTypeAttributeList,
                                       b::AttributeListValue({{b::kTypeFileName, 0, named, 0}, {b::kTypeData, 0, base, 1}}))
                             .Resident(b::kTypeData, Text("found through the list\n"))
                             .Protected());
  disk.WriteRecord(named, b::RecordBuilder(1, base, named).Resident(b::kTypeFileName, InRoot(u"name-in-extension.txt", b::kWin32)).Protected());

  auto want = test::Listing(Without(intact.Items(), {slots[0], slots[1], slots[2], base, named}));
  want.insert(test::ShowItem(false, false, slots[0], "ONLYDOS.TXT", 9));
  want.insert(test::ShowItem(false, false, slots[1], "preferred name.txt", 6));
  want.insert(test::ShowItem(false, false, slots[2], "Both.txt", 5));
  want.insert(test::ShowItem(false, false, base, "name-in-extension.txt", 23));
  test::ExpectSameListing(test::Listing(VolumeScan(disk.Raw()).Items()), want);
}

// Record 0 keeps the first 16 clusters of the MFT's runs and names, in a
// resident attribute list, the reserved record 20 for the rest; then without
// the list; then with a damaged run list making the MFT longer than the
// volume, whose runs that fit are read and no further.
TEST(NtfsCraftedMftTest, MftRunsContinuedInAnExtensionRecord) {
  const VolumeScan intact(NtfsFixture("ntfs.vhdx"));
  const auto mftRuns = test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), 0);
  std::vector<b::RunPiece> head, tail;
  std::uint64_t vcn = 0;
  constexpr std::uint64_t kSplit = 16;
  for (const auto& [first, clusters] : mftRuns) {
    if (vcn + clusters <= kSplit) {
      head.push_back({clusters, false, first});
    } else if (vcn >= kSplit) {
      tail.push_back({clusters, false, first});
    } else {
      head.push_back({kSplit - vcn, false, first});
      tail.push_back({vcn + clusters - kSplit, false, first + kSplit - vcn});
    }
    vcn += clusters;
  }
  ASSERT_FALSE(tail.empty());
  const auto mft = intact.Find("$MFT");
  ASSERT_TRUE(mft);

  NtfsDiskCopy disk;
  const auto record0 = [&](const std::vector<b::RunPiece>& runs, std::uint64_t lastVcn, bool list) {
    b::RecordBuilder r(1, 0, 0);  // attribute ids in the order added: 0, 1, 2, 3
    if (list) r.Resident(b::kTypeStandardInformation, std::vector<std::uint8_t>(72, 0));
    r.Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, u"$MFT", b::kWin32AndDos));
    if (list)
      r.Resident(b::kTypeAttributeList, b::AttributeListValue({{b::kTypeStandardInformation, 0, 0, 0}, {b::kTypeFileName, 0, 0, 1},
                                                               {b::kTypeData, 0, 0, 3}, {b::kTypeData, kSplit, 20, 0}}));
    disk.WriteRecord(0, r.NonResident(b::kTypeData, runs, 0, lastVcn, mft->size, vcn * 4096).Protected());
  };
  record0(head, kSplit - 1, true);
  disk.WriteRecord(20, b::RecordBuilder(1, 0, 20).NonResident(b::kTypeData, tail, kSplit, vcn - 1, 0, 0).Protected());
  test::ExpectSameListing(test::Listing(VolumeScan(disk.Raw()).Items()), test::Listing(intact.Items()));

  record0(head, kSplit - 1, false);  // only the first 64 records are read
  const VolumeScan cut(disk.Raw());
  EXPECT_FALSE(cut.Find("many"));
  EXPECT_TRUE(cut.Find("$UpCase"));

  std::vector<b::RunPiece> hostile = head;  // a huge sparse run, then clusters past the volume
  hostile.push_back({1ULL << 40, true, 0});
  hostile.push_back({1ULL << 30, false, 100});
  record0(hostile, (1ULL << 40) + (1ULL << 30) + kSplit, false);
  const VolumeScan bounded(disk.Raw());
  EXPECT_TRUE(bounded.Find("$UpCase"));
  EXPECT_FALSE(bounded.Find("many"));
}

TEST(NtfsSaveTest, TimesAreTheStandardInformationModificationAndAccessTimes) {
  // Saved again and looked at before anything reads them (reading moves the
  // access time on).
  VolumeScan scan(NtfsFixture("ntfs.vhdx"));
  test::TempDir out;
  const fs::path raw = NtfsFixture("ntfs.raw");
  for (const auto& [name, record] : NtfsCaseRecords()) {
    const auto item = scan.ItemsOf(record);
    ASSERT_FALSE(item.empty()) << name;
    scan.SelectOnly(item.front().path);
    scan.Save(out.Path());
    const auto modified = test::IstatTime(raw, NtfsStart(), record, "$STANDARD_INFORMATION", "File Modified");
    const auto accessed = test::IstatTime(raw, NtfsStart(), record, "$STANDARD_INFORMATION", "Accessed");
    struct stat st {};
    ASSERT_EQ(::stat((out / fs::path(item.front().path).filename().string()).c_str(), &st), 0) << item.front().path;
    EXPECT_EQ(std::pair(static_cast<std::int64_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec), modified) << name;
    EXPECT_EQ(std::pair(static_cast<std::int64_t>(st.st_atim.tv_sec), st.st_atim.tv_nsec), accessed) << name;
  }
}

TEST(NtfsSaveTest, GarbageInARunListSkipsOnlyThatFile) {
  const std::uint32_t record = NtfsCaseRecords().at("big/frag-b.bin");
  NtfsDiskCopy disk;
  std::vector<std::uint8_t> bytes = disk.ReadRecord(record);
  b::UndoUpdateSequence(bytes);
  const std::size_t data = b::FindAttribute(bytes, b::kTypeData);
  ASSERT_NE(data, b::kNoAttribute);
  ASSERT_EQ(bytes[data + 8], 1) << "frag-b.bin's data is not non-resident";
  // The fourth run's header gets 9 length bytes, which no run list has.
  std::size_t at = data + bytes[data + 32] + 256u * bytes[data + 33];
  for (int run = 0; run < 3; ++run) at += 1u + (bytes[at] & 0x0Fu) + (bytes[at] >> 4u);
  bytes[at] = 0x09;
  b::RedoUpdateSequence(bytes);
  disk.WriteRecord(record, bytes);

  VolumeScan intact(NtfsFixture("ntfs.vhdx")), damaged(disk.Wrapped("vhdx"));
  test::TempDir out, whole;
  intact.SaveAll(whole.Path(), DeletedMode::kExclude);
  damaged.SaveAll(out.Path(), DeletedMode::kExclude);
  auto want = test::Sha256Tree(whole.Path());
  ASSERT_EQ(want.erase("big/frag-b.bin"), 1u);
  // $MFT holds the edited record.
  auto got = test::Sha256Tree(out.Path());
  ASSERT_EQ(got.erase("$MFT"), 1u);
  want.erase("$MFT");
  EXPECT_EQ(got, want);
}

// Records ntfs-3g does not write, in place of small files' records:
// spread.bin, whose data two extension records hold that a resident attribute
// list names (the piece with VCN 0 in the higher record): two pieces of
// big/contiguous.bin swapped, a hole between; overlong.txt, whose resident
// data claims to run past the record; empty-ntfs3.txt, non-resident data with
// no run at all as Linux's ntfs3 writes it (saved empty), and runless.bin
// claiming bytes it has no runs for (a failure, never a silent success);
// huge.bin, of more than 4 GiB: one cluster, then a hole that takes no room.
TEST(NtfsSaveTest, CraftedRecords) {
  const auto slots = LiveRecords("many/d18/file18");
  const auto more = LiveRecords("many/d16/file16");
  ASSERT_TRUE(slots.size() >= 4u && more.size() >= 3u);
  const std::uint32_t base = slots[0], tailRecord = slots[1], headRecord = slots[2], overlong = slots[3];
  const std::uint32_t source = NtfsCaseRecords().at("big/contiguous.bin");
  const auto runs = test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  ASSERT_TRUE(runs.size() == 1u && runs[0].second >= 200u);
  const std::uint64_t c = runs[0].first;
  constexpr std::uint64_t kPiece = 100, kHole = 10, kCluster = 4096;
  constexpr std::uint64_t kClusters = 2 * kPiece + kHole;
  constexpr std::uint64_t kSize = kClusters * kCluster - 1000;
  const std::vector<std::uint8_t> original = test::Icat(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  std::vector<std::uint8_t> want(original.begin() + kPiece * kCluster, original.begin() + 2 * kPiece * kCluster);
  want.resize(want.size() + kHole * kCluster, 0);
  want.insert(want.end(), original.begin(), original.begin() + kPiece * kCluster - 1000);

  NtfsDiskCopy disk;
  const auto named = [](std::uint32_t record, const char16_t* name, std::uint64_t size = 0) {
    return b::RecordBuilder(1, 0, record).Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, name, b::kWin32, 0, size));
  };
  disk.WriteRecord(base, named(base, u"spread.bin")
                             .Resident(b::kTypeAttributeList, b::AttributeListValue({{b::kTypeFileName, 0, base, 0},
                                                                                     {b::kTypeData, 0, headRecord, 0},
                                                                                     {b::kTypeData, kPiece, tailRecord, 0}}))
                             .Protected());
  disk.WriteRecord(headRecord, b::RecordBuilder(1, base, headRecord)
                                   .NonResident(b::kTypeData, {{kPiece, false, c + kPiece}}, 0, kPiece - 1, kSize,
                                                kClusters * kCluster)
                                   .Protected());
  disk.WriteRecord(tailRecord, b::RecordBuilder(1, base, tailRecord)
                                   .NonResident(b::kTypeData, {{kHole, true, 0}, {kPiece, false, c}}, kPiece,
                                                kClusters - 1, 0, 0)
                                   .Protected());
  std::vector<std::uint8_t> claim = named(overlong, u"overlong.txt").Resident(b::kTypeData, std::vector<std::uint8_t>(100, 'x')).Plain();
  const std::size_t data = b::FindAttribute(claim, b::kTypeData);
  claim[data + 16] = 0xD0;  // value length 2000
  claim[data + 17] = 0x07;
  b::RedoUpdateSequence(claim);
  disk.WriteRecord(overlong, claim);
  constexpr std::uint64_t kNoVcn = ~std::uint64_t{0};  // last VCN of no cluster
  disk.WriteRecord(more[0], named(more[0], u"empty-ntfs3.txt").NonResident(b::kTypeData, {}, 0, kNoVcn, 0, 0).Protected());
  disk.WriteRecord(more[1], named(more[1], u"runless.bin", 5000).NonResident(b::kTypeData, {}, 0, kNoVcn, 5000, 8192).Protected());
  constexpr std::uint64_t kHuge = 5ULL * 1024 * 1024 * 1024 + 100, kHugeClusters = (kHuge + 4095) / 4096;
  disk.WriteRecord(more[2], named(more[2], u"huge.bin")
                                .NonResident(b::kTypeData, {{1, false, c}, {kHugeClusters - 1, true, 0}}, 0,
                                             kHugeClusters - 1, kHuge, kHugeClusters * 4096)
                                .Protected());

  VolumeScan crafted(disk.Raw());
  test::TempDir out;
  SaveSummary last;
  const auto save = [&](const std::string& name, std::uint64_t size) {
    const auto item = crafted.Find(name);
    EXPECT_TRUE(item && item->size == size) << name;
    if (!item) return false;
    crafted.SelectOnly(name);
    last = crafted.Save(out / name);
    return last.saved == 1u && fs::exists(out / name / name);
  };
  ASSERT_TRUE(save("spread.bin", kSize));
  EXPECT_TRUE(test::ReadFileBytes(out / "spread.bin" / "spread.bin") == want) << "the pieces were not joined in VCN order";
  EXPECT_FALSE(save("overlong.txt", 2000));
  ASSERT_TRUE(save("empty-ntfs3.txt", 0));
  EXPECT_EQ(fs::file_size(out / "empty-ntfs3.txt" / "empty-ntfs3.txt"), 0u);
  EXPECT_FALSE(save("runless.bin", 5000));
  EXPECT_TRUE(last.failed == 1u && !fs::exists(out / "runless.bin" / "runless.bin"));

  ASSERT_TRUE(save("huge.bin", kHuge));
  const fs::path huge = out / "huge.bin" / "huge.bin";
  struct stat st {};
  ASSERT_EQ(::stat(huge.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kHuge);
  EXPECT_LE(st.st_blocks * 512, 1024 * 1024) << "the hole was written as zeros";
  EXPECT_EQ(test::BytesAt(huge, 0, 4096), std::vector<std::uint8_t>(original.begin(), original.begin() + 4096));
  EXPECT_EQ(test::BytesAt(huge, kHuge - 100, 100), std::vector<std::uint8_t>(100, 0));
}

struct Expected { std::optional<std::uint64_t> cluster; std::uint64_t clusters; };

// Offsets are relative to the run before (a hole not counted); a damaged list keeps the runs before the damage.
TEST(NtfsRunListTest, DecodesEveryFieldWidthAndStopsAtDamage) {
  constexpr std::uint64_t kThird = 0x20 + 0x1234 + 0x010000;
  const struct { const char* name; std::vector<std::uint8_t> list; bool ok; std::vector<Expected> runs; } rows[] = {
      {"offsets of 1 to 4 bytes, negative ones, a hole",
       {0x11, 0x10, 0x20,                    // 16 clusters at 0x20
        0x21, 0x08, 0x34, 0x12,              // 8 at + 0x1234
        0x31, 0x02, 0x00, 0x00, 0x01,        // 2 at + 0x010000
        0x41, 0x01, 0x00, 0x00, 0x00, 0x01,  // 1 at + 0x01000000
        0x11, 0x03, 0xF0,                    // 3 at - 16
        0x01, 0x05,                          // 5 sparse clusters
        0x21, 0x04, 0x00, 0xFF,              // 4 at - 256
        0x00},
       true,
       {{0x20, 16}, {0x20 + 0x1234, 8}, {kThird, 2}, {kThird + 0x01000000, 1}, {kThird + 0x01000000 - 16, 3},
        {std::nullopt, 5}, {kThird + 0x01000000 - 16 - 256, 4}}},
      {"lengths of 2 and 3 bytes", {0x33, 0x70, 0x11, 0x01, 0x40, 0x4B, 0x4C, 0x02, 0x2C, 0x01, 0x00}, true,
       {{5000000, 70000}, {std::nullopt, 300}}},
      {"fields past the list", {0x11, 0x04, 0x10, 0x31, 0x10, 0x00}, false, {{0x10, 4}}},
      {"a length of 9 bytes", {0x11, 0x04, 0x10, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, false, {{0x10, 4}}},
      {"a length of no bytes", {0x10, 0x05, 0x00}, false, {}},
      {"an offset before cluster 0", {0x11, 0x04, 0x10, 0x11, 0x01, 0xE0, 0x00}, false, {{0x10, 4}}},
      {"no end mark", {0x11, 0x04, 0x10}, false, {{0x10, 4}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto got = ntfs::DecodeRunList(row.list);
    EXPECT_EQ(got.ok, row.ok);
    ASSERT_EQ(got.runs.size(), row.runs.size());
    for (std::size_t i = 0; i < row.runs.size(); ++i)
      EXPECT_TRUE(got.runs[i].firstCluster == row.runs[i].cluster && got.runs[i].clusters == row.runs[i].clusters) << i;
  }
}

TEST(NtfsRecordTest, FixupPutsBackTheEndOfEachSector) {
  // Resident data over both sector ends, so the update sequence hides real bytes.
  std::vector<std::uint8_t> value(900);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const b::RecordBuilder builder = b::RecordBuilder().Resident(b::kTypeData, value);
  std::vector<std::uint8_t> onDisk = builder.Protected(0x0A0B);
  const std::vector<std::uint8_t> plain = builder.Plain();
  ASSERT_NE(onDisk, plain);
  ntfs::ApplyFixup(onDisk);
  // Everything after the update sequence array is as it was built.
  EXPECT_EQ(std::vector<std::uint8_t>(onDisk.begin() + 56, onDisk.end()),
            std::vector<std::uint8_t>(plain.begin() + 56, plain.end()));
  const auto data = ntfs::FindData(onDisk);
  ASSERT_TRUE(data && data->resident);
  EXPECT_EQ(std::vector<std::uint8_t>(data->value.begin(), data->value.end()), value);
}

// Which name each namespace asks for; a POSIX name counts as a Win32 one (the scan's listing: NtfsCraftedTest).
TEST(NtfsRecordTest, FileNameNamespacePreference) {
  const auto record = b::RecordBuilder()
                          .Resident(b::kTypeFileName, b::FileNameValue(5, u"LONGNA~1.TXT", b::kDos, 1000))
                          .Resident(b::kTypeFileName, b::FileNameValue(77, u"long name.txt", b::kPosix, 2000))
                          .Plain();
  const auto win32 = ntfs::FindFileName(record, 1), dos = ntfs::FindFileName(record, 2);
  ASSERT_TRUE(win32 && dos);
  EXPECT_TRUE(win32->name == u"long name.txt" && win32->parentId == 77u && win32->creationTime == 2000u);
  EXPECT_EQ(dos->name, u"LONGNA~1.TXT");
  EXPECT_FALSE(ntfs::FindFileName(record, 3));
  const auto both =
      b::RecordBuilder().Resident(b::kTypeFileName, b::FileNameValue(5, u"SHORT.TXT", b::kWin32AndDos)).Plain();
  EXPECT_TRUE(!ntfs::FindFileName(both, 1) && ntfs::FindFileName(both, 3)) << "a Win32-and-DOS name only as itself";
  // A named attribute of the type is not a file name.
  const auto named = b::RecordBuilder().Resident(b::kTypeFileName, b::FileNameValue(5, u"x", b::kWin32), u"n").Plain();
  EXPECT_FALSE(ntfs::FindFileName(named, 1));
}

TEST(NtfsRecordTest, AttributeListNamesItsRecordsInOrder) {
  const auto list = b::AttributeListValue({{b::kTypeStandardInformation, 0, 40, 0},
                                           {b::kTypeFileName, 0, 40, 2},
                                           {b::kTypeData, 0, 91, 0},
                                           {b::kTypeData, 150, 57, 0}});
  EXPECT_EQ(ntfs::ListedRecords(list), (std::vector<std::uint32_t>{40, 40, 91, 57}));
  EXPECT_EQ(ntfs::ListedRecords(list, ntfs::kData), (std::vector<std::uint32_t>{91, 57}));
}

// LZNT1 chunk headers: bits 0-11 the stored size (header included) minus 3, bit 15 compressed, bits 12-14 3.
std::vector<std::uint8_t> Chunk(bool compressed, const std::vector<std::uint8_t>& data) {
  const auto header = static_cast<std::uint16_t>((compressed ? 0x8000 : 0) | 0x3000 | ((data.size() - 1) & 0x0FFF));
  std::vector<std::uint8_t> chunk = {static_cast<std::uint8_t>(header), static_cast<std::uint8_t>(header >> 8)};
  chunk.insert(chunk.end(), data.begin(), data.end());
  return chunk;
}

TEST(NtfsLznt1Test, StopsAtTheEndMarkAndAtADamagedChunk) {
  const std::vector<std::uint8_t> literal = {0x00, 'x', 'y'};
  std::vector<std::uint8_t> stream = Chunk(true, literal);
  stream.insert(stream.end(), {0, 0, 0x55});  // 0x55 after the end mark: never read
  std::vector<std::uint8_t> out(8192, 0xEE);
  EXPECT_EQ(ntfs::DecompressLznt1(stream, out), 4096u);
  EXPECT_TRUE(out[0] == 'x' && out[1] == 'y' && out[2] == 0);
  EXPECT_EQ(out[4096], 0xEE) << "bytes past the data stay as they were";
  // A chunk whose size runs past the input.
  std::vector<std::uint8_t> cut = Chunk(true, literal);
  const auto big = Chunk(true, std::vector<std::uint8_t>(100, 0));
  cut.insert(cut.end(), big.begin(), big.begin() + 50);
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_TRUE(ntfs::DecompressLznt1(cut, out) == 4096u && out[4096] == 0xEE);
}

}  // namespace
}  // namespace dravik
