#include "util/Crc32.h"

#include <array>

namespace dravik {

namespace {

constexpr std::array<std::uint32_t, 256> MakeTable(std::uint32_t polynomial) {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? polynomial ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr auto kIeeeTable = MakeTable(0xEDB88320u);
constexpr auto kCastagnoliTable = MakeTable(0x82F63B78u);

std::uint32_t Reflected(const std::array<std::uint32_t, 256>& table, Bytes bytes, std::uint32_t crc) {
  crc = ~crc;
  for (const std::uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace

std::uint32_t Crc32(Bytes bytes, std::uint32_t crc) { return Reflected(kIeeeTable, bytes, crc); }
std::uint32_t Crc32c(Bytes bytes, std::uint32_t crc) { return Reflected(kCastagnoliTable, bytes, crc); }

}  // namespace dravik
