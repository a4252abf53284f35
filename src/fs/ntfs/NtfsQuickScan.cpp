#include "fs/ntfs/NtfsQuickScan.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/MftRuns.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik {

namespace {

using namespace ntfs;

constexpr std::size_t kMaxExtensionRecords = 50;
constexpr std::uint64_t kRecordsPerRead = 256;
constexpr std::uint8_t kNamespaces[] = {1, 3, 2};

class NtfsQuickScanner {
 public:
  NtfsQuickScanner(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control)
      : reader_(reader), params_(params), store_(store), control_(control), runs_(MftRunTable::Read(reader, params)) {}

  void Run() {
    const std::uint64_t total = runs_.TotalSectors();
    std::uint64_t sectorsRead = 0;
    std::uint32_t recordNumber = 0;
    std::vector<std::uint8_t> chunk;
    for (const MftRun& run : runs_.Runs()) {
      for (std::uint64_t step = 0; step + kRecordSectors <= run.sectors;) {
        if (!control_.Continue()) return;
        const std::uint64_t records = std::min(kRecordsPerRead, (run.sectors - step) / kRecordSectors);
        if (run.startSector) {
          chunk.assign(static_cast<std::size_t>(records * kRecordSize), 0);
          reader_.Read(*run.startSector + step, static_cast<std::uint32_t>(records * kRecordSectors), chunk);
        }
        for (std::uint64_t r = 0; r < records; ++r, ++recordNumber) {
          if (run.startSector) {
            const std::span<std::uint8_t> record(chunk.data() + r * kRecordSize, kRecordSize);
            Examine(record, recordNumber, *run.startSector + step + r * kRecordSectors);
          }
          sectorsRead += kRecordSectors;
          if (run.startSector) control_.Count(store_.folderCount, store_.fileCount, *run.startSector + step + r * kRecordSectors);
          if (recordNumber % 64 == 0 && !store_.Files().empty()) control_.CountName(store_.Files().back().name);
          if (recordNumber % 20 == 0 && total > 0)
            control_.Report("Reading Sector " + std::to_string(sectorsRead) + " Of " + std::to_string(total),
                            static_cast<int>(sectorsRead * 100 / total));
        }
        step += records * kRecordSectors;
      }
    }
  }

 private:
  // The record itself, then the records its attribute list names.
  std::vector<std::uint32_t> ExtensionList(Bytes record, std::uint32_t number) const {
    std::vector<std::uint32_t> list{number};
    for (const std::uint32_t other : AttributeListRecords(reader_, params_, record)) {
      if (list.size() >= kMaxExtensionRecords) break;
      if (std::find(list.begin(), list.end(), other) == list.end()) list.push_back(other);
    }
    return list;
  }

  // Calls use(bytes, lba) for each record of the list that can be read, in
  // order, until it returns true.
  template <typename Use>
  void ForEachRecord(Bytes base, std::uint64_t baseLba, const std::vector<std::uint32_t>& list, Use use) {
    if (use(base, baseLba)) return;
    std::vector<std::uint8_t> other;
    for (std::size_t i = 1; i < list.size(); ++i) {
      const auto lba = runs_.RecordToLba(list[i]);
      if (lba && runs_.ReadRecord(reader_, list[i], other) && use(Bytes(other), *lba)) return;
    }
  }

  // Extension records are read with their base record, never on their own.
  void Examine(std::span<std::uint8_t> record, std::uint32_t number, std::uint64_t lba) {
    if (!IsRecord(record)) return;
    ApplyFixup(record);
    if (BaseRecordNumber(record) != 0) return;
    const auto list = ExtensionList(record, number);
    std::optional<FileName> name;
    ForEachRecord(record, lba, list, [&](Bytes bytes, std::uint64_t) {
      for (const std::uint8_t wanted : kNamespaces)
        if ((name = FindFileName(bytes, wanted))) return true;
      return false;
    });
    if (!name) return;
    const StandardTimes times =
        FindStandardTimes(record).value_or(StandardTimes{name->modificationTime, name->accessTime});

    const std::uint8_t flags = RecordFlags(record);
    if (flags == 3 || flags == 2) {
      if (name->name == u".") return;
      store_.AddFolder({.name = std::move(name->name),
                        .id = number,
                        .parentId = name->parentId,
                        .times = ItemTimes::FileTimes(name->creationTime, times.modificationTime, times.accessTime),
                        .deleted = flags == 2});
      return;
    }
    FileRecord file{.name = std::move(name->name),
                    .id = number,
                    .parentId = name->parentId,
                    .times = ItemTimes::FileTimes(name->creationTime, times.modificationTime, times.accessTime),
                    .deleted = flags == 0,
                    .locator = lba};
    ForEachRecord(record, lba, list, [&](Bytes bytes, std::uint64_t at) {
      const auto data = FindData(bytes);
      if (!data) return false;
      file.size = data->size;
      file.locator = at;
      return true;
    });
    file.key = file.locator;
    store_.AddFile(std::move(file));
    ++store_.fileCount;
  }

  const SectorReader& reader_;
  const FsParams& params_;
  RecoveryStore& store_;
  ScanControl& control_;
  MftRunTable runs_;
};

std::u16string DirName(std::uint32_t k) { return u"Dir" + FromUtf8(std::to_string(k)); }

}  // namespace

void AddLostFolders(RecoveryStore& store, ScanControl& control) {
  control.Report(NtfsScanTexts::kLostStep1, 0);
  store.AddFolder({.name = kLostDirName, .id = kLostDirId, .parentId = kNtfsRootId});
  std::unordered_set<std::uint32_t> ids;
  for (const auto& folder : store.Folders()) ids.insert(folder.id);
  std::uint32_t k = 0;
  const auto adopt = [&](std::uint32_t parentId) {
    if (parentId == kNtfsRootId || !ids.insert(parentId).second) return;
    store.AddFolder({.name = DirName(k++), .id = parentId, .parentId = kLostDirId});
  };
  for (std::size_t i = 0; i < store.Folders().size(); ++i) adopt(store.Folders()[i].parentId);
  control.Report(NtfsScanTexts::kLostStep2, 50);
  for (const auto& file : store.Files()) adopt(file.parentId);
}

void ScanNtfsQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control) {
  store.Clear();
  NtfsQuickScanner(reader, params, store, control).Run();
  AddLostFolders(store, control);
}

}  // namespace dravik
