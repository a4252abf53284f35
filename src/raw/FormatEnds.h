#pragma once
// End rules for CarvedFileEnd beyond the ones CarveEnd.cpp keeps, one a
// format. Each takes the carved bytes, which begin with a file of its
// format, and gives the length of that file when its structures record
// where it ends and that end lies within the bytes; none otherwise, so a
// file cut short keeps the carve size rather than a shorter, wrong end.

#include <cstdint>
#include <optional>

#include "util/Bytes.h"

namespace dravik {

using FileEnd = std::optional<std::uint64_t>;

// Compressed streams (CompressedEnds.cpp).
FileEnd GzipEnd(Bytes b);   // members, each to the end of its deflate data and trailer
FileEnd Bzip2End(Bytes b);  // streams, each to its end-of-stream mark and checksum
FileEnd XzEnd(Bytes b);     // the first stream, to its footer (checked by its CRC)
FileEnd ZstdEnd(Bytes b);   // frames, each to its last block and checksum

// Audio and video (MediaEnds.cpp).
FileEnd OggEnd(Bytes b);       // pages until every logical stream begun has ended
FileEnd MatroskaEnd(Bytes b);  // the EBML header, then the Segment of recorded size
FileEnd AsfEnd(Bytes b);       // the file size of the file properties object

// Programs and fonts (ProgramEnds.cpp).
FileEnd ElfEnd(Bytes b);        // the furthest of its header tables and sections
FileEnd JavaClassEnd(Bytes b);  // the class structure read through to its last attribute
FileEnd TrueTypeEnd(Bytes b);   // the furthest table, padded to four bytes

}  // namespace dravik
