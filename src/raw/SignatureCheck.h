#pragma once
// Signatures too short or too common to name a file on their own (an icon's
// four bytes, a dBASE table's version byte) count as a hit only when the
// structure they begin is plausible within the sector that holds them.

#include <string_view>

#include "util/Bytes.h"

namespace dravik {

// A check of a sector that begins with the signature of a type.
using StartCheck = bool (*)(Bytes sector);

// The check for hits of the extension (compared without regard to case);
// none when its signature alone decides.
StartCheck StartCheckOf(std::u16string_view extension);

// Windows icons and cursors: the type (1 icon, 2 cursor) at 2, 1 to 255
// images at 4, and each directory entry in the sector with a reserved zero,
// a nonzero size, and an offset past the directory.
bool IconDirectoryPlausible(Bytes sector);
// dBASE and FoxPro tables: a known version byte, a date of last update whose
// month and day exist, a header of 32 bytes and 32 a field ending with 0x0D
// (FoxPro adds 263 bytes), and a record length of one more than the lengths
// of its fields.
bool DbaseHeaderPlausible(Bytes sector);

}  // namespace dravik
