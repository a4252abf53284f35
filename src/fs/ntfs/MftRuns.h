#pragma once
// Where the MFT lies: its runs, read from the $DATA attribute of record 0
// (and of the extension records its attribute list names).

#include <cstdint>
#include <optional>
#include <vector>

#include "disk/FsParams.h"
#include "util/Bytes.h"

namespace dravik {

class SectorReader;

namespace ntfs {

// Record numbers named by a record's attribute list, resident or kept in
// clusters of its own (as ntfs-3g keeps every list), in list order.
std::vector<std::uint32_t> AttributeListRecords(const SectorReader& reader, const FsParams& params,
                                                Bytes record, std::optional<std::uint32_t> wantedType = std::nullopt);

struct MftRun {
  std::optional<std::uint64_t> startSector;  // none: a sparse run
  std::uint64_t sectors = 0;
};

class MftRunTable {
 public:
  static MftRunTable Read(const SectorReader& reader, const FsParams& params);

  const std::vector<MftRun>& Runs() const { return runs_; }
  std::uint64_t TotalSectors() const;
  // The sector of a record; none past the last run or inside a sparse run.
  std::optional<std::uint64_t> RecordToLba(std::uint32_t record) const;
  // Reads a record and applies its fix-up; false when it is no "FILE" record.
  bool ReadRecord(const SectorReader& reader, std::uint32_t record, std::vector<std::uint8_t>& buffer) const;

 private:
  void AppendRuns(const SectorReader& reader, const FsParams& params, std::uint64_t recordLba);

  std::vector<MftRun> runs_;
};

}  // namespace ntfs
}  // namespace dravik
