#include "fs/ntfs/NtfsStructureSearch.h"

#include <algorithm>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/extensive/BlockWalk.h"
#include "fs/fat/FatStructureSearch.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/MftRecordNotes.h"
#include "fs/ntfs/RunList.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

using namespace ntfs;

constexpr std::size_t kAllocatedSizeOffset = 28;
constexpr std::uint32_t kIndexRoot = 0x90;
// $INDEX_ROOT value: 16 the node header, whose first u32 is the offset of
// the first entry from the header.
constexpr std::size_t kRootNodeOffset = 16;
constexpr std::uint8_t kNamespaces[] = {1, 3, 2};
constexpr std::uint32_t kRootFolder = 5;
constexpr std::uint32_t kExtendFolder = 11;
constexpr std::uint32_t kNoNumber = 0xFFFFFFFF;
// Index records owned by the first records (the MFT and its companions) are
// not folders' indexes.
constexpr std::uint32_t kFirstFolderNumber = 5;

// The attribute of this type named "$I30", if the record has one.
std::optional<std::size_t> FindI30(Bytes record, std::uint32_t type) {
  return FindNamedAttribute(record, type, u"$I30");
}

// The parent number the first entry of the folder's index root names: the
// folder's own record number. 0 when the root holds no entry.
std::uint32_t NumberFromIndexRoot(Bytes record) {
  const auto root = FindI30(record, kIndexRoot);
  if (!root || u8(record, *root + kAttrNonResidentOffset) != 0) return 0;
  const AttributeValue value = ReadAttributeValue(record, *root);
  const std::size_t entry = kRootNodeOffset + le32(value.value, kRootNodeOffset);
  if (entry + kEntryParentOffset + 4 > value.value.size()) return 0;
  if ((le32(value.value, entry + kEntryFlagsOffset) & kEntryLast) != 0) return 0;
  const std::uint32_t parent = le32(value.value, entry + kEntryParentOffset);
  return parent == kNoNumber ? 0 : parent;
}

std::uint64_t IndexStartCluster(Bytes record) {
  const auto allocation = FindI30(record, kIndexAllocation);
  if (!allocation || u8(record, *allocation + kAttrNonResidentOffset) == 0) return 0;
  const DecodedRuns runs = DecodeRunList(ReadAttributeValue(record, *allocation).runList);
  if (runs.runs.empty() || !runs.runs.front().firstCluster) return 0;
  return *runs.runs.front().firstCluster;
}

// The first name of the record in the namespaces of Win32 (or POSIX), then
// Win32 and DOS, then DOS.
std::optional<FileName> FirstName(Bytes record) {
  std::optional<FileName> name;
  for (const std::uint8_t wanted : kNamespaces)
    if ((name = FindFileName(record, wanted))) break;
  return name;
}

}  // namespace

HarvestedRecord HarvestMftRecord(Bytes record, std::uint64_t s) {
  HarvestedRecord harvested;
  // An extension record carries attributes of its base record, never a file
  // of its own.
  if (BaseRecordNumber(record) != 0) return harvested;
  std::optional<FileName> name = FirstName(record);
  if (!name) return harvested;
  const StandardTimes times =
      FindStandardTimes(record).value_or(StandardTimes{name->modificationTime, name->accessTime});
  const std::uint8_t flags = RecordFlags(record);
  if (flags == 3 || flags == 2) {
    NtfsFoundFolder folder;
    folder.recordLba = s;
    folder.parentId = name->parentId;
    folder.creationTime = name->creationTime;
    folder.changeTime = times.modificationTime;
    folder.accessTime = times.accessTime;
    folder.deleted = flags == 2;
    // NTFS 3.1 records carry their number; older ones are numbered by their
    // name or by the first entry of their index root.
    const std::uint32_t told = name->name == u"."         ? kRootFolder
                               : name->name == u"$Extend" ? kExtendFolder
                                                          : NumberFromIndexRoot(record);
    folder.mftNumber = RecordNumber(record).value_or(told);
    folder.indexStartCluster = IndexStartCluster(record);
    folder.name = std::move(name->name);
    harvested.folder = std::move(folder);
  } else if (flags == 1 || flags == 0) {
    NtfsFoundFile file;
    file.recordLba = s;
    file.parentId = name->parentId;
    file.creationTime = name->creationTime;
    file.changeTime = times.modificationTime;
    file.accessTime = times.accessTime;
    file.deleted = flags == 0;
    if (const auto data = FindData(record)) file.size = data->size;
    file.name = std::move(name->name);
    harvested.file = std::move(file);
  }
  return harvested;
}

std::optional<std::size_t> IndexRecordBytes(Bytes start) {
  const std::size_t length = std::size_t{le32(start, kIndexAllocatedOffset)} + kIndexNodeOffset;
  if (length > kMaxIndexRecordBytes) return std::nullopt;
  return length;
}

std::optional<IndexRecordEntry> HarvestIndexRecord(Bytes record, std::uint64_t s) {
  IndexRecordEntry entry;
  entry.sector = s;
  entry.vcn = le32(record, kIndexVcnOffset);
  const std::size_t first = kIndexNodeOffset + le32(record, kIndexFirstEntryOffset);
  if (first + kEntryParentOffset + 4 > record.size()) return std::nullopt;
  entry.ownerMft = le32(record, first + kEntryParentOffset);
  if (entry.ownerMft < kFirstFolderNumber || entry.ownerMft == kNoNumber) return std::nullopt;
  entry.sectors = static_cast<std::uint8_t>(std::min<std::size_t>(record.size() / kSectorSize, 0xFF));
  return entry;
}

namespace {

// What a chunk of the walk holds: each list in sector order, and how much of
// each its blocks have handed on.
struct NtfsChunkFindings {
  std::vector<std::uint64_t> bootSectors;
  std::vector<NtfsFoundFolder> folders;
  std::vector<NtfsFoundFile> files;
  std::vector<IndexRecordEntry> indexRecords;
  MftRecordNotes notes;
  std::size_t bootsTaken = 0, foldersTaken = 0, filesTaken = 0, indexTaken = 0;
};

NtfsChunkFindings SearchChunk(const SectorReader& reader, std::uint64_t first, Bytes chunk) {
  NtfsChunkFindings found;
  std::vector<std::uint8_t> record;
  // A record's bytes, from the chunk when it lies wholly in it.
  const auto take = [&](std::size_t i, std::size_t bytes) {
    const std::size_t at = i * kSectorSize;
    record.assign(bytes, 0);
    if (at + bytes <= chunk.size())
      std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(at), bytes, record.begin());
    else
      reader.Read(first + i, static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize), record);
    ApplyFixup(record);
  };
  for (std::size_t i = 0; i < chunk.size() / kSectorSize; ++i) {
    const Bytes sector = chunk.subspan(i * kSectorSize, kSectorSize);
    if (boot::IsNtfsBootSector(sector)) {
      found.bootSectors.push_back(first + i);
    } else if (IsRecord(sector) && le16(sector, kAllocatedSizeOffset) == kRecordSize) {
      take(i, kRecordSize);
      found.notes.Note(record, first + i);
      HarvestedRecord harvested = HarvestMftRecord(record, first + i);
      if (harvested.folder) found.folders.push_back(std::move(*harvested.folder));
      if (harvested.file) found.files.push_back(std::move(*harvested.file));
    } else if (HasAscii(sector, 0, "INDX")) {
      const auto bytes = IndexRecordBytes(sector);
      if (!bytes || *bytes < kSectorSize) continue;
      take(i, *bytes);
      if (auto entry = HarvestIndexRecord(record, first + i)) found.indexRecords.push_back(*entry);
    }
  }
  return found;
}

// Moves the items of list from taken on that lie before end to the back of to.
template <typename T, typename SectorOf>
void MoveBefore(std::vector<T>& list, std::size_t& taken, std::uint64_t end, std::vector<T>& to, SectorOf sectorOf) {
  for (; taken < list.size() && sectorOf(list[taken]) < end; ++taken) to.push_back(std::move(list[taken]));
}

}  // namespace

void SearchNtfsStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                          std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                          unsigned threads) {
  MftRecordNotes notes;
  WalkRangeBlocks<NtfsChunkFindings>(
      reader, start, sectors, blockSectors, threads, control,
      [&](std::uint64_t first, Bytes chunk) { return SearchChunk(reader, first, chunk); },
      [&](NtfsChunkFindings& found, std::uint64_t, std::uint64_t blockEnd) {
        MoveBefore(found.bootSectors, found.bootsTaken, blockEnd, findings.bootSectors, [](std::uint64_t s) { return s; });
        MoveBefore(found.folders, found.foldersTaken, blockEnd, findings.ntfsFolders,
                   [](const NtfsFoundFolder& f) { return f.recordLba; });
        MoveBefore(found.files, found.filesTaken, blockEnd, findings.ntfsFiles,
                   [](const NtfsFoundFile& f) { return f.recordLba; });
        MoveBefore(found.indexRecords, found.indexTaken, blockEnd, findings.indexRecords,
                   [](const IndexRecordEntry& e) { return e.sector; });
        // The notes hold no order of their own: anchors are sorted by sector
        // and system records come in sector order chunk after chunk.
        notes.Absorb(std::move(found.notes));
        control.CountFound({findings.bootSectors.size(), findings.indexRecords.size(), findings.ntfsFiles.size(),
                            findings.ntfsFolders.size()});
        return true;
      });
  notes.MoveInto(findings);
}

}  // namespace dravik
