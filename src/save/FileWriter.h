#pragma once
// What every writer of recovered files shares: the checks that decide
// whether and under which name a file is written, the file itself, and the
// copying of its sectors.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "fs/NameMatch.h"
#include "vdisk/ByteSource.h"
#include "save/RecoverySettings.h"
#include "save/SaveControl.h"

namespace dravik {

class SectorReader;
namespace ntfs {
class MftRunTable;
}

struct SaveContext {
  const SectorReader& reader;
  const FsParams& params;
  const RecoverySettings& settings;
  const FilterList& filter;
  SaveControl& control;
  // The MFT's runs, to follow a file's data into extension records.
  const ntfs::MftRunTable* mftRuns = nullptr;
  // The image being read: a recovered file of the same name in the same
  // folder is never written over it, whatever the duplicate setting says.
  std::filesystem::path image = {};
};

// The destination of a file in folder, or none when it is passed over. For
// a save (forSave) the filter, the deleted setting and the duplicate setting
// apply; a renamed duplicate's new name is written back into name. For a
// preview the file is written under the given name, replacing what is there.
std::optional<std::filesystem::path> ChooseDestination(const SaveContext& context, const std::filesystem::path& folder,
                                                       std::u16string& name, bool forSave, bool deleted);

// A run of sectors of the source, or a hole of zeros.
struct SectorRun {
  std::optional<std::uint64_t> firstSector;  // none: a hole
  std::uint64_t sectors = 0;
};

class OutputFile {
 public:
  // Creates or truncates the file; never follows a link in its place.
  static std::optional<OutputFile> Create(const std::filesystem::path& path);
  OutputFile(OutputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  bool Write(const std::uint8_t* data, std::size_t size);
  // Copies bytes of another file in the kernel, without a buffer; false
  // (with nothing counted as written) when that cannot be done.
  bool CopyFrom(const FileSpan& source);
  // Leaves a hole of zeros (the file is sized when it is closed).
  bool Skip(std::uint64_t size);
  void Close();

 private:
  explicit OutputFile(int fd) : fd_(fd) {}
  int fd_;
  std::uint64_t position_ = 0;
  bool extendAtClose_ = false;
  bool kernelCopy_ = true;
};

// Writes exactly size bytes of the runs into the file, stopping early on a
// stop or skip request. Returns the bytes written.
std::uint64_t CopySectorRuns(const SaveContext& context, OutputFile& file, const std::vector<SectorRun>& runs,
                             std::uint64_t size, bool forSave);

}  // namespace dravik
