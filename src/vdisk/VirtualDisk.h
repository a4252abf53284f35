#pragma once
// The one object through which the rest of the engine reaches the chosen
// image. It owns the reader of the kind in use (VHD, VHDX or a file read as
// a raw disk) and reads through it; a differencing image reads through the
// parents that were found for it when it was opened. Reads are positional: a scan and a preview
// can share it without a seek position between them.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vdisk/ByteSource.h"
#include "vdisk/ImageChain.h"
#include "vdisk/RawImage.h"
#include "vdisk/VhdImage.h"
#include "vdisk/VhdxImage.h"
#include "util/Outcome.h"

namespace dravik {

// The message shown when an image cannot be opened, for a Quick Scan or for
// the other scan modes.
const char* OpenFailureMessage(ImageKind kind, bool quickScan);

class VirtualDisk final : public ByteSource {
 public:
  enum Kind : std::uint32_t { kNone = 0, kVhd = 1, kVhdx = 2, kRaw = 3 };

  // Makes a new empty reader of the kind, replacing the one in use.
  void Create(Kind kind);
  // Opens the image and attaches the parents of a differencing one, found
  // beside path through open (files of the file system by default).
  bool Open(const std::filesystem::path& path);
  bool Open(std::unique_ptr<ByteSource> file, const std::filesystem::path& path = {},
            const SourceOpener& open = FileOpener());
  void Close();
  void Destroy();

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const override;
  // The bytes the image really holds (see ByteSource::PresentRange): all of a
  // fixed disk as far as the file's data goes, the present blocks of a
  // dynamic or differencing one; none before an image is open.
  std::optional<ByteRange> PresentRange(std::uint64_t offset) const override;
  // The virtual disk's size in bytes, for either kind.
  std::uint64_t Size() const override;

  Kind CurrentKind() const { return kind_; }
  // Whether the reader in use holds an image (Close keeps the reader but
  // lets its image go).
  bool IsOpen() const { return Size() != 0; }
  std::int32_t Cylinders() const;
  std::int32_t Heads() const;
  std::int32_t SectorsPerTrack() const;
  std::uint64_t VirtualDiskSize() const;
  std::string DiskTypeText() const;
  std::int32_t DataBlockCount() const;
  std::int32_t TotalBatEntries() const;

  // The reader in use, for details beyond the questions above; null when
  // another kind is in use.
  const VhdImage* Vhd() const { return kind_ == kVhd ? static_cast<const VhdImage*>(image_.get()) : nullptr; }
  const VhdxImage* Vhdx() const { return kind_ == kVhdx ? static_cast<const VhdxImage*>(image_.get()) : nullptr; }
  // The image kind as the information texts ask for it; none before Create.
  std::optional<ImageKind> CurrentImageKind() const;
  // Why the last open failed or what it worked around.
  std::string Diagnostic() const;
  // What the reader in use found damaged in the image and did about it.
  const std::vector<Repair>& Repairs() const;
  // The blocks the image's mended block table could not place, placing
  // some of them, and the repair that says so (see DiskImage::Lost).
  LostBlocks Lost() const;
  void Place(const std::vector<BlockPlacement>& placements);
  void AddRepair(Repair repair);
  // Whether the last open failed because the file holds no structure of the
  // kind at all.
  bool NoStructureFound() const;
  // The images the disk is read through, the opened one first, and what
  // the user should be warned of (missing or mismatched parents, a log that
  // was not replayed).
  const ChainReport& Chain() const { return chain_; }

 private:
  Kind kind_ = kNone;
  std::unique_ptr<DiskImage> image_;
  ChainReport chain_;
  // Why the file itself could not be opened by Open(path).
  std::string openProblem_;
  // The geometry last fetched from a VHD reader, answered while a VHDX is in use.
  mutable std::int32_t cylinders_ = 0;
  mutable std::int32_t heads_ = 0;
};

// The reader kind that reads an image of the kind.
VirtualDisk::Kind VirtualDiskKind(ImageKind kind);

// Usable once the image is open; not this when the file is no image of its
// kind at all (nothing of the format was found in it, or its name names no
// kind), its details then saying what was looked for: "not a VHD image";
// failed when it is a damaged image or cannot be opened.
struct OpenResult : Outcome {
  std::optional<ImageKind> kind;
};

// How an image is to be opened.
struct OpenRequest {
  // For the scan modes other than the Quick Scan the failure message differs.
  bool quickScan = false;
  // Read the file as a plain disk whatever its extension says.
  bool asRaw = false;
};

// Chooses the reader from the extension (or the raw one when asked), creates
// it and opens the image; on
// failure the message is the one the front ends show: the corruption message
// of the kind for a file that does not read as an image, what stood in the
// way for one that cannot be opened at all ("... cannot be opened: Permission
// denied", a FIFO or other file that holds no image).
OpenResult OpenImage(VirtualDisk& disk, const std::filesystem::path& path, OpenRequest request);
inline OpenResult OpenImage(VirtualDisk& disk, const std::filesystem::path& path, bool quickScan) {
  return OpenImage(disk, path, OpenRequest{quickScan, false});
}

}  // namespace dravik
