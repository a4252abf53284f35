#pragma once
// Signature families: file types that begin with the same bytes and are told
// apart only by what follows them. The catalogue's signature finds a member
// of the family; the first bytes of the file then say which member it is:
//
//   ZIP            the names of the first entries, and what a "mimetype"
//                  entry holds (OpenDocument, EPUB, Office Open XML, Java
//                  and Android packages)
//   RIFF           the form type at bytes 8 to 11 (WAVE, AVI, WebP)
//   ISO base media the brands of the leading "ftyp" box (MP4, M4A, M4V,
//                  QuickTime, 3GPP, AVIF, HEIF)
//   EBML           the DocType of the EBML header (WebM, Matroska)
//   ASF            the kinds of the streams its header describes (audio
//                  only: Windows Media Audio, else Windows Media Video)
//   Ogg            the codec of the first packet (Vorbis, Opus, FLAC,
//                  Theora, Speex)

#include <cstddef>
#include <string>

#include "util/Bytes.h"

namespace dravik {

// How many bytes from the start of a file the family of the sector needs to
// name its member; 0 when the sector begins no family's member.
std::size_t FamilyBytesWanted(Bytes sector);

// The extension (".odt", ".wav", ...) the content of the file these bytes
// begin with names within its family; empty when the bytes begin no
// family's member or name no member known here.
std::u16string FamilyMemberExtension(Bytes head);

}  // namespace dravik
