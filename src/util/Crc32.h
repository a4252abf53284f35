#pragma once
// The two reflected 32-bit CRCs the images use: CRC-32 (IEEE 802.3, as GPT
// headers and entry arrays use it) and CRC-32C (Castagnoli, the checksum of
// VHDX headers and log entries). They differ only in their polynomial.

#include <cstdint>

#include "util/Bytes.h"

namespace dravik {

std::uint32_t Crc32(Bytes bytes, std::uint32_t crc = 0);
std::uint32_t Crc32c(Bytes bytes, std::uint32_t crc = 0);

}  // namespace dravik
