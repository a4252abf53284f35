#pragma once
// Signatures too short or too common to name a file on their own (an icon's
// four bytes, a dBASE table's version byte, a PCX image's three, a TGA
// image's three zeros and image type, the sync bits of an MP3 frame without
// a tag before it) count as a hit only when the structure they begin
// is plausible: within the sector that holds them, or for MP3 frames within
// the bytes that several frames in a row take.

#include <string_view>

#include "util/Bytes.h"

namespace dravik {

// A check of the bytes from the start of a sector that begins with the
// signature of a type.
using StartCheck = bool (*)(Bytes start);

struct StartRule {
  StartCheck check = nullptr;  // none: the signature alone decides
  std::size_t bytes = 0;       // how many bytes from the sector's start it reads
};

// The check for hits of the extension (compared without regard to case)
// and signature (hexadecimal, as the catalogue gives it).
StartRule StartCheckOf(std::u16string_view extension, std::string_view signature);

// Windows icons and cursors: the type (1 icon, 2 cursor) at 2, 1 to 255
// images at 4, and each directory entry in the sector with a reserved zero,
// a nonzero size, and an offset past the directory.
bool IconDirectoryPlausible(Bytes sector);
// dBASE and FoxPro tables: a known version byte, a date of last update whose
// month and day exist, a header of 32 bytes and 32 a field ending with 0x0D
// (FoxPro adds 263 bytes), and a record length of one more than the lengths
// of its fields.
bool DbaseHeaderPlausible(Bytes sector);
// PCX images: 1, 2, 4 or 8 bits per plane, 1 to 4 planes, a window whose
// ends are not before its starts, the reserved byte zero, and an even line
// length that holds a row of the window.
bool PcxHeaderPlausible(Bytes sector);
// TGA images: a colour map type of 0 or 1 that fits the image type (1, 2, 3
// or their run-length forms 9, 10, 11), a colour map of 15, 16, 24 or 32 bit
// entries when there is one and zeros in its fields when there is none, a
// nonzero width and height, a pixel depth the image type allows, and the
// descriptor's two reserved bits clear with no more alpha bits than a pixel
// holds. A cursor's directory (00 00 02 00 too) has its image count where
// an image without a colour map keeps zeros.
bool TgaHeaderPlausible(Bytes sector);
// MP3 without an ID3 tag: four valid frame headers in a row, each where the
// one before ends and all of one version, layer and sample rate.
bool Mp3FramesPlausible(Bytes start);
// The bytes that four of the longest layer III frames take, in whole sectors.
inline constexpr std::size_t kMp3CheckBytes = 9 * 512;

}  // namespace dravik
