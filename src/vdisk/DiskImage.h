#pragma once
// What the VHD and VHDX readers share beyond reading bytes: a differencing
// image names its parent (where to look for it and what identity it must
// have), and reads what it does not hold itself through the parent once one
// is attached. Without a parent those parts read as zeros.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vdisk/BlockTableSalvage.h"
#include "vdisk/ByteSource.h"

namespace dravik {

// The 16 bytes that identify an image to its children: a VHD footer's unique
// id, a VHDX header's data write GUID.
struct ImageId {
  std::array<std::uint8_t, 16> bytes{};
  // VHDX GUIDs keep their first three fields little-endian; VHD ids are
  // written byte by byte.
  bool guidByteOrder = false;

  bool operator==(const ImageId& other) const { return bytes == other.bytes; }
  bool IsZero() const;
  std::string Text() const;
};

// How a differencing image names its parent.
struct ParentLink {
  // Paths as the image stores them (UTF-8, backslashes kept), in the order
  // they are tried: relative ones, which are resolved from the child's
  // folder, before absolute ones.
  std::vector<std::string> locations;
  // The parent's file name, looked for in the child's folder when no
  // location leads to it.
  std::string name;
  // The identity the parent must have; none when the image does not record it.
  std::optional<ImageId> id;
};

// One thing the reader found damaged in the image's own structures and what
// it did about it, e.g. {"region table 1", "bad checksum", "table 2 used"}.
// The image itself is never changed.
struct Repair {
  std::string structure;
  std::string problem;
  std::string action;

  bool operator==(const Repair&) const = default;
  // "structure: problem; action", as --verbose prints it.
  std::string Text() const { return structure + ": " + problem + "; " + action; }
};

class DiskImage : public ByteSource {
 public:
  // Reads the image's structures from file; false when it is no image of the format.
  virtual bool Open(std::unique_ptr<ByteSource> file) = 0;
  // Lets the image go; the reader reads nothing until the next Open.
  virtual void Close() = 0;
  // Why the last open failed or what it had to work around; for --verbose output.
  virtual const std::string& Diagnostic() const = 0;
  virtual const char* FormatName() const = 0;
  virtual std::string TypeText() const = 0;
  virtual ImageId Identity() const = 0;
  // Set for a differencing image.
  virtual std::optional<ParentLink> ParentToFind() const = 0;
  // Whether a log was replayed to read the image.
  virtual bool LogReplayed() const { return false; }

  // The image reads through parent from now on, for the parts it does not
  // hold; parent lives as long as this image.
  void AttachParent(std::unique_ptr<DiskImage> parent) { parent_ = std::move(parent); }
  const DiskImage* Parent() const { return parent_.get(); }

  // What the user should know about the image although it opened: a log
  // that could not be replayed, a parent locator that could not be read.
  const std::vector<std::string>& Warnings() const { return warnings_; }
  // What the last Open found damaged and worked around, in the order found.
  const std::vector<Repair>& Repairs() const { return repairs_; }
  // The blocks the mended block table could not place (none for images
  // without a table or whose table is whole), and placing some of them
  // where the volumes inside show they belong; repair says what was done.
  virtual LostBlocks Lost() const { return {}; }
  virtual void Place(const std::vector<BlockPlacement>& placements) { (void)placements; }
  void AddRepair(Repair repair) { repairs_.push_back(std::move(repair)); }
  // Whether the last Open failed because no structure of the format was
  // found at all: the file is no image of this kind, not a damaged one.
  bool NoStructureFound() const { return noStructureFound_; }

 protected:
  std::unique_ptr<DiskImage> parent_;
  std::vector<std::string> warnings_;
  std::vector<Repair> repairs_;
  bool noStructureFound_ = false;
};

}  // namespace dravik
