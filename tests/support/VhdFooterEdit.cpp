#include "VhdFooterEdit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "TestFiles.h"

namespace dravik::test {

namespace {

constexpr std::size_t kFooterSize = 512;
constexpr std::size_t kCurrentSizeOffset = 48;
constexpr std::size_t kChecksumOffset = 64;

void PutBig(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i, value >>= 8) bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
}

void RewriteFooter(const std::filesystem::path& vhd, std::uint64_t at, std::uint64_t size) {
  const auto file = ReadFileBytes(vhd);
  std::vector<std::uint8_t> footer(file.begin() + static_cast<std::ptrdiff_t>(at),
                                   file.begin() + static_cast<std::ptrdiff_t>(at + kFooterSize));
  PutBig(footer, kCurrentSizeOffset, size, 8);
  std::fill_n(footer.begin() + kChecksumOffset, 4, std::uint8_t{0});
  std::uint32_t sum = 0;
  for (const std::uint8_t b : footer) sum += b;
  PutBig(footer, kChecksumOffset, ~sum, 4);
  PatchFile(vhd, at, footer);
}

bool IsFooter(const std::vector<std::uint8_t>& file, std::uint64_t at) {
  return file.size() >= at + kFooterSize && std::memcmp(file.data() + at, "conectix", 8) == 0;
}

}  // namespace

void SetVhdCurrentSize(const std::filesystem::path& vhd, std::uint64_t size) {
  const auto file = ReadFileBytes(vhd);
  if (file.size() < kFooterSize || !IsFooter(file, file.size() - kFooterSize))
    throw std::runtime_error(vhd.string() + " does not end in a VHD footer");
  RewriteFooter(vhd, file.size() - kFooterSize, size);
  if (IsFooter(file, 0)) RewriteFooter(vhd, 0, size);
}

}  // namespace dravik::test
