#pragma once
// LZNT1, the compression of NTFS compressed files: chunks of up to 4096
// bytes, each with a 2-byte header (bits 0-11: size - 3, bit 15: compressed).

#include <cstdint>
#include <span>
#include <vector>

#include "util/Bytes.h"

namespace dravik::ntfs {

// Decompresses into out (which keeps its size; what the data do not fill
// stays as it was). Returns the bytes produced; stops at a damaged chunk.
std::size_t DecompressLznt1(Bytes in, std::span<std::uint8_t> out);

}  // namespace dravik::ntfs
