#pragma once
// What every writer of recovered files shares: the checks that decide
// whether and under which name a file is written, the file itself, and the
// copying of its sectors.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/FsParams.h"
#include "fs/NameMatch.h"
#include "vdisk/ByteSource.h"
#include "save/FileTimes.h"
#include "save/RecoverySettings.h"
#include "save/SaveControl.h"

namespace dravik {

class SectorReader;
struct SaveContext {
  const SectorReader& reader;
  const FsParams& params;
  const RecoverySettings& settings;
  const FilterList& filter;
  SaveControl& control;
  // The image being read: a recovered file of the same name in the same
  // folder is never written over it, whatever the duplicate setting says.
  std::filesystem::path image = {};
};

// Why the settings leave a file out of a save, if they do.
enum class LeftOut { kNo, kByDeletedSetting, kByFilter };
LeftOut LeftOutBySettings(const RecoverySettings& settings, const FilterList& filter, std::u16string_view name,
                          bool deleted);

// Where a file goes, or why it does not.
struct Destination {
  enum class Choice { kWrite, kPassOver, kFail };
  Choice choice = Choice::kWrite;
  std::filesystem::path path;  // where it is written; for kFail the path that was refused
  int error = 0;               // kFail: the errno of the refusal
  bool byFilter = false;       // kPassOver: the file filters left it out
};

// The destination of a file in folder. For a save (forSave) the filter, the
// deleted setting and the duplicate setting apply: a name that exists is
// renamed to "Copy (n ) of NAME", skipped or overwritten. For a preview the
// file is written under the given name, replacing what is there. A name too
// long for the destination is shortened (see PathFromName). name becomes the
// name the file is written under. A path that cannot be examined (a folder
// that cannot be searched, a link loop, a path too long) fails the file.
Destination ChooseDestination(const SaveContext& context, const std::filesystem::path& folder, std::u16string& name,
                              bool forSave, bool deleted);

// A run of sectors of the source, or a hole of zeros.
struct SectorRun {
  std::optional<std::uint64_t> firstSector;  // none: a hole
  std::uint64_t sectors = 0;
};

// A file being written. The first failure of a write, of sizing the file
// or of closing it is kept: once something failed, writes do nothing.
class OutputFile {
 public:
  // Creates or truncates the file; never follows a link in its place. None,
  // with error set to the errno, when it cannot be created.
  static std::optional<OutputFile> Create(const std::filesystem::path& path, int& error);
  OutputFile(OutputFile&& other) noexcept
      : fd_(other.fd_), position_(other.position_), extendAtClose_(other.extendAtClose_),
        kernelCopy_(other.kernelCopy_), error_(other.error_) {
    other.fd_ = -1;
  }
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  bool Write(const std::uint8_t* data, std::size_t size);
  // Copies bytes of another file in the kernel, without a buffer; false
  // (with nothing counted as written) when that cannot be done: the caller
  // then writes the bytes itself.
  bool CopyFrom(const FileSpan& source);
  // Leaves a hole of zeros (the file is sized when it is closed).
  void Skip(std::uint64_t size);
  // Sizes the file over a hole at its end and closes it. Returns the first
  // failure's errno, 0 when every write, the sizing and the closing worked.
  int Close();
  int Error() const { return error_; }

 private:
  explicit OutputFile(int fd) : fd_(fd) {}
  int fd_;
  std::uint64_t position_ = 0;
  bool extendAtClose_ = false;
  bool kernelCopy_ = true;
  int error_ = 0;
};

// How the writing of one file went.
enum class FileOutcome {
  kSaved,        // written whole
  kFailed,       // not written whole, for the reason SaveControl keeps
  kInterrupted,  // cut short by a stop or skip request
  kPassedOver,   // left out by the settings, or nothing to write
};

// What a writer hands to EndFile once the file is closed.
struct WrittenFile {
  std::uint64_t bytes = 0;    // written
  std::uint64_t size = 0;     // that should have been written
  int writeError = 0;         // OutputFile::Close's result
  std::uint64_t missing = 0;  // of the recorded size, bytes the image could not give (zeros, or left out)
  std::optional<SavedTimes> times;  // the recorded times; none keeps the time of saving
};

// The bytes CopySectorRuns wrote, and how many of them are zeros because
// their sectors could not be read.
struct CopiedBytes {
  std::uint64_t written = 0;
  std::uint64_t unreadable = 0;
};

// Counts a file that is not written because its destination was refused
// (kFailed) or because the settings pass it over (kPassedOver).
FileOutcome CountRefused(const SaveContext& context, const Destination& destination);
// Counts a file that could not be created at path.
FileOutcome CountNotCreated(const SaveContext& context, const std::filesystem::path& path, int error);

// Counts the file in the context's SaveControl and says how it went. A file
// that could not be written is removed, so that no cut-off file is mistaken
// for a good one. A file cut short by a stop or skip request is kept as far
// as it was written, as the user asked, but renamed to "NAME.partial" and
// left with the time of saving, so it never passes for the whole file. A
// file with parts the image could not give keeps its name and times (its
// bytes are the best there are) and is named as incomplete. A file whose
// times could not be set is kept (its bytes are whole) but counted as failed.
FileOutcome EndFile(const SaveContext& context, const std::filesystem::path& path, const WrittenFile& file);

// Writes exactly size bytes of the runs into the file, stopping early on a
// stop or skip request or a failed write (see OutputFile::Error). Sectors
// that cannot be read are written as zeros and counted.
CopiedBytes CopySectorRuns(const SaveContext& context, OutputFile& file, const std::vector<SectorRun>& runs,
                           std::uint64_t size, bool forSave);

// Reads count sectors from first one at a time and counts in the context's
// SaveControl those that fail; returns the bytes of them among the first
// bytes of the range (the part that belongs to the file).
std::uint64_t CountUnreadableBytes(const SaveContext& context, std::uint64_t first, std::uint64_t count,
                                   std::uint64_t bytes);

}  // namespace dravik
