#pragma once
// Finds and attaches the parents of a differencing image, one after the
// other, so that the image reads as the disk its virtual machine saw. A
// parent is looked for where the image's locators point (relative paths from
// the child's folder, Windows backslashes accepted) and then by its file name
// in the child's folder; its reader is chosen by its extension. A parent whose
// identity is not the one the child records is used all the same, with a
// warning; a missing parent leaves the child's absent parts reading as zeros.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vdisk/ByteSource.h"
#include "vdisk/DiskImage.h"

namespace dravik {

// Deeper chains than this are refused: no checkpoint tree gets near it, and it
// bounds what a loop of parents that no path check catches can cost.
constexpr std::size_t kMaxChainDepth = 32;

// The image kind as the scanners and the information texts ask for it.
// A raw image is a file read as the disk it holds, byte for byte.
enum class ImageKind { kVhd = 0, kVhdx = 1, kRaw = 2 };

// "VHD", "VHDX" or "raw".
const char* ImageKindName(ImageKind kind);

// The kind named by the path's extension, compared without regard to case:
// ".vhd" and the checkpoint extension ".avhd" for VHD, ".vhdx" and ".avhdx"
// for VHDX, ".img", ".raw" and ".dd" for a raw disk; none for any other
// extension. The file's content is not looked at.
std::optional<ImageKind> ImageKindFromPath(const std::filesystem::path& path);

// A new, empty reader of the kind.
std::unique_ptr<DiskImage> MakeReader(ImageKind kind);

// Opens a file for reading; null with why set when it cannot.
using SourceOpener = std::function<std::unique_ptr<ByteSource>(const std::filesystem::path&, std::string* why)>;
// Opens files of the file system, read-only.
SourceOpener FileOpener();

// One image of a chain, the opened image first.
struct ChainImage {
  std::filesystem::path path;  // for a missing parent: the name or location looked for
  std::string format;          // "VHD" or "VHDX"; empty for a missing parent
  std::string type;
  bool found = true;
  bool logReplayed = false;
};

struct ChainReport {
  std::vector<ChainImage> images;
  std::vector<std::string> warnings;
  bool Complete() const;
};

// The paths tried for a parent, in order, without repeats.
std::vector<std::filesystem::path> ParentCandidates(const ParentLink& link, const std::filesystem::path& childFolder);

// Attaches the parents of image (opened from path) as far as they can be
// found, and says what the chain is.
ChainReport AttachParents(DiskImage& image, const std::filesystem::path& path, const SourceOpener& open);

}  // namespace dravik
