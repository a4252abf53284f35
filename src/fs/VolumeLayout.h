#pragma once
// What the placing of lost VHD/VHDX blocks (LostBlockPlacement) asks of a
// volume inside the disk: where a sector of a lost area says it lies, and
// which disk bytes the volume keeps data in. A family builds its layout from
// a partition entry through PlacementView, the placer's narrow view of the
// disk as placed so far.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "util/Bytes.h"

namespace dravik {

class SectorReader;

// Bytes [begin, end) of the disk.
struct DiskExtent {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// What a sector of a lost area says about its place.
struct SectorPlace {
  // The sector is one of the volume's structures that name their place
  // (an MFT record, an index buffer, a folder's "." entry); the search over
  // the volumes ends with it.
  bool claimed = false;
  // The disk byte it belongs at, when the volume's layout shows it.
  std::optional<std::uint64_t> byte;
  // The sector heads a block of a log that keeps copies of the volume's
  // structures (an ext journal's descriptor, commit or revoke block): what
  // its area's other sectors claim says nothing of where the area lies.
  bool copies = false;
};

class PlacementView {
 public:
  // Long structures (a FAT, an MFT, a lost area) are read this much at a time.
  static constexpr std::size_t kReadChunk = std::size_t{1} << 20;

  virtual ~PlacementView() = default;

  virtual std::uint64_t DiskSize() const = 0;
  // The size of the image file, the bound of what a damaged table may claim.
  virtual std::uint64_t FileSize() const = 0;
  // Reads the disk as placed so far; ok tells whether every byte came from
  // a placed block (an open block may read as zeros without failing).
  virtual std::vector<std::uint8_t> ReadDisk(std::uint64_t at, std::size_t size, bool* ok = nullptr) const = 0;
  // Reads length bytes from at in chunks of kReadChunk, handing each to
  // visit with its offset from at; true when every byte came from a
  // placed block.
  bool ReadDiskInChunks(std::uint64_t at, std::uint64_t length,
                        const std::function<void(std::uint64_t offset, std::span<std::uint8_t> bytes)>& visit) const {
    bool complete = true;
    for (std::uint64_t done = 0; done < length; done += kReadChunk) {
      bool ok = true;
      std::vector<std::uint8_t> bytes =
          ReadDisk(at + done, static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, length - done)), &ok);
      complete = complete && ok;
      visit(done, bytes);
    }
    return complete;
  }
  // The disk as placed so far, for the readers of disk/.
  virtual const SectorReader& Reader() const = 0;
  // Places the block that holds byte, when it is still open and exactly one
  // unplaced area holds, at byte's offset in its block, a sector that
  // passes test.
  virtual void AnchorSector(std::uint64_t byte, const std::function<bool(Bytes)>& test) = 0;
};

class VolumeLayout {
 public:
  virtual ~VolumeLayout() = default;

  // sector: a sector of a lost area, followed by the bytes after it in the
  // area as far as they were read (a structure larger than a sector is
  // whole when it lies within a chunk of PlacementView::kReadChunk).
  virtual SectorPlace PlaceOf(Bytes sector) const = 0;
  // The disk bytes the volume keeps data in.
  virtual const std::vector<DiskExtent>& Held() const = 0;
  // Whether all of the volume's allocation could be read, so that its
  // blocks outside Held() hold nothing.
  virtual bool HeldComplete() const = 0;
};

}  // namespace dravik
