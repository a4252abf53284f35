#pragma once
// CRC-32C (Castagnoli, reflected), the checksum of VHDX headers and log entries.

#include <cstdint>

#include "util/Bytes.h"

namespace dravik {

std::uint32_t Crc32c(Bytes bytes, std::uint32_t crc = 0);

}  // namespace dravik
