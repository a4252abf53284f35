#pragma once
// Where a carved file ends, for the formats that record it: a JPEG's end
// marker after its last scan, a PNG's IEND chunk, a GIF's trailer, a PDF's
// last "%%EOF", a ZIP's end of central directory, the sizes of RIFF, BMP,
// SQLite and 7-Zip files, the top-level boxes of ISO base media files (MP4,
// QuickTime, 3GPP, AVIF, HEIF), the sectors of a compound file, and the rules
// of FormatEnds.h (compressed streams, tar and ar, Ogg, Matroska, ASF, MP3,
// AC-3, FLAC, MPEG program streams, Flash video, ELF and PE programs, Java
// classes, TrueType fonts, Photoshop and JPEG 2000 images, dBASE tables,
// RTF, HTML and XML documents, TIFF, Netpbm, PCX, SGI, Sun raster, icon,
// X pixmap and MIFF images, YUV4MPEG video, AIFF, Sun audio and Creative
// Voice sound). A carved file is cut there, never beyond the bytes carved.

#include <cstdint>
#include <optional>
#include <string>

#include "util/Bytes.h"

namespace dravik {

// The length of the file that the carved bytes begin with, by the rule of
// its extension (compared without regard to case); none when the
// extension has no rule or the end does not lie within the bytes.
std::optional<std::uint64_t> CarvedFileEnd(const std::u16string& extension, Bytes carved);
// True when files of the extension have such a rule.
bool HasEndRule(const std::u16string& extension);
// True when the rule reads the file from its start and looks at no more
// than a few bytes past the end it gives, so that an end it finds in the
// first bytes of a carve, well before they run out, is the end the whole
// carve gives too. False for PDF, whose end is its last "%%EOF".
bool EndFoundFromTheStart(const std::u16string& extension);
// How far before the bytes run out such an end must lie.
inline constexpr std::uint64_t kEndLookAhead = 4096;

}  // namespace dravik
