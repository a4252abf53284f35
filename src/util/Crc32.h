#pragma once
// CRC-32 (IEEE 802.3, reflected, as GPT headers and entry arrays use it).

#include <cstdint>

#include "util/Bytes.h"

namespace dravik {

std::uint32_t Crc32(Bytes bytes, std::uint32_t crc = 0);

}  // namespace dravik
