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
FileEnd TarEnd(Bytes b);    // headers and their data, two zero blocks, then the record's padding
FileEnd Lz4End(Bytes b);    // the first frame, to its end mark and content checksum
FileEnd ArEnd(Bytes b);     // members while a member header follows

// Audio and video (MediaEnds.cpp).
FileEnd OggEnd(Bytes b);       // pages until every logical stream begun has ended
FileEnd MatroskaEnd(Bytes b);  // the EBML header, then the Segment of recorded size
FileEnd AsfEnd(Bytes b);       // the file size of the file properties object
FileEnd Mp3End(Bytes b);       // an ID3v2 tag, frames of one kind, then an ID3v1 tag if any
// The MPEG audio frames in a row from the start of the bytes, all of one
// version, layer and sample rate, each header whole within the bytes; no
// more than most are counted.
std::size_t MpegFramesInARow(Bytes b, std::size_t most);
FileEnd FlacEnd(Bytes b);      // metadata blocks, then frames until the recorded sample count
FileEnd MpegProgramEnd(Bytes b);  // packs and their packets, to the end code or the last whole packet
FileEnd Ac3End(Bytes b);       // AC-3 frames in a row, each of the size its header gives
FileEnd FlvEnd(Bytes b);       // the header, then tags each followed by its recorded size

// Images, tables and text documents (DocumentEnds.cpp).
FileEnd PhotoshopEnd(Bytes b);  // header, three sections of recorded length, then the image data
FileEnd DbaseEnd(Bytes b);      // the header and the records, then the end-of-file byte if any
FileEnd RtfEnd(Bytes b);        // the brace that closes the first group, then a line end
FileEnd HtmlEnd(Bytes b);       // "</html>" in any case, then a line end
FileEnd XmlEnd(Bytes b);        // the root element's end tag, then a line end
FileEnd Jpeg2000End(Bytes b);   // JP2 boxes, from the signature box through the codestream and the boxes after it
FileEnd J2kEnd(Bytes b);        // a codestream: its main header, tile-parts, then the end marker

// Simple rasters, raw video and sound files (RasterEnds.cpp).
FileEnd TiffEnd(Bytes b);       // the furthest of its directories, their values, strips and tiles
FileEnd NetpbmEnd(Bytes b);     // binary P4, P5, P6 and P7 maps: the header, then width by height samples
FileEnd PcxEnd(Bytes b);        // the header, the run-length rows, then a 256-colour palette if any
FileEnd TgaEnd(Bytes b);        // header, ID, colour map, the pixels or their run-length packets, then a TGA 2.0 footer
FileEnd SgiEnd(Bytes b);        // the header, then the channels' rows, or their run-length tables' furthest row
FileEnd SunRasterEnd(Bytes b);  // the header, the colour map and the image data of recorded length
FileEnd IconEnd(Bytes b);       // the furthest image of an icon's or cursor's directory
FileEnd XpmEnd(Bytes b);        // the "};" that closes the array, then a line end
FileEnd AiffEnd(Bytes b);       // the FORM chunk's recorded size
FileEnd SunAudioEnd(Bytes b);   // the data offset and the recorded data size
FileEnd VocEnd(Bytes b);        // blocks up to the terminator block
FileEnd MiffEnd(Bytes b);       // ImageMagick images of direct colour and no compression, one after another
FileEnd Y4mEnd(Bytes b);        // the header line, then frames of the size its picture gives

// Programs and fonts (ProgramEnds.cpp).
FileEnd ElfEnd(Bytes b);        // the furthest of its header tables and sections
FileEnd JavaClassEnd(Bytes b);  // the class structure read through to its last attribute
FileEnd TrueTypeEnd(Bytes b);   // the furthest table, padded to four bytes
FileEnd PeEnd(Bytes b);         // the furthest of its sections, symbols and certificates

}  // namespace dravik
