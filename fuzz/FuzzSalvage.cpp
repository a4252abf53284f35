// The salvage of damaged VHD and VHDX files: headers and region tables
// chosen by checksum or found by search, metadata inferred from the block
// table, block tables mended and found by their shape, lost blocks placed
// by the volumes inside, files read as raw disks. The input places pieces of bytes at the offsets where those
// structures live in a file of up to 64 MiB that is otherwise zeros, so
// that small inputs reach every structure. Any crash, hang or sanitizer
// report is a fault.
//
// Input: u32 file size (little-endian), then pieces of
//   u8 place (an index into kPlaces, or past it: 64 KiB steps from there),
//   u16 length (little-endian), length bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fs/LostBlockPlacement.h"
#include "vdisk/VirtualDisk.h"

namespace {

using namespace dravik;

constexpr std::uint64_t kMaxFileSize = 64ull << 20;
constexpr std::uint64_t kPlaces[] = {0,         512,       1024,      1536,      2048,      64 << 10,  128 << 10,
                                     192 << 10, 256 << 10, 1 << 20,   2 << 20,   3 << 20,   4 << 20,   8 << 20,
                                     16 << 20,  24 << 20,  32 << 20};

// A file of zeros with pieces laid over it.
class SparseFile final : public ByteSource {
 public:
  SparseFile(std::uint64_t size, std::map<std::uint64_t, std::vector<std::uint8_t>> pieces)
      : size_(size), pieces_(std::move(pieces)) {}

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    const std::uint64_t end = offset + out.size();
    for (const auto& [at, bytes] : pieces_) {
      const std::uint64_t pieceEnd = at + bytes.size();
      if (bytes.empty() || pieceEnd <= offset || at >= end) continue;
      const std::uint64_t from = std::max(at, offset);
      const std::uint64_t to = std::min(pieceEnd, end);
      std::memcpy(out.data() + (from - offset), bytes.data() + (from - at), static_cast<std::size_t>(to - from));
    }
    if (offset >= size_) return false;
    return end <= size_;
  }
  std::uint64_t Size() const override { return size_; }

 private:
  std::uint64_t size_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;
};

std::unique_ptr<SparseFile> Decode(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return nullptr;
  std::uint64_t fileSize = 0;
  for (int i = 3; i >= 0; --i) fileSize = (fileSize << 8) | data[i];
  fileSize = std::min(fileSize, kMaxFileSize);
  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces;
  std::size_t at = 4;
  while (at + 3 <= size) {
    const std::uint8_t place = data[at];
    const std::size_t length = std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
    const std::size_t placeCount = std::size(kPlaces);
    const std::uint64_t offset = place < placeCount ? kPlaces[place] : (std::uint64_t{place} - placeCount) << 16;
    pieces[offset].assign(data + at + 3, data + at + 3 + length);
    at += 3 + length;
  }
  return std::make_unique<SparseFile>(fileSize, std::move(pieces));
}

void Read(const std::uint8_t* data, std::size_t size, VirtualDisk::Kind kind) {
  auto file = Decode(data, size);
  if (!file) return;
  VirtualDisk disk;
  disk.Create(kind);
  if (!disk.Open(std::move(file))) return;
  PlaceLostBlocks(disk);
  (void)disk.Repairs();
  std::vector<std::uint8_t> buffer(3 * 512);
  for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{1} << 20, disk.Size() / 2, disk.Size() - 1})
    disk.ReadAt(offset, buffer);
  // Walk the present runs as a search would; they must move forward.
  std::uint64_t at = 0;
  for (int runs = 0; runs < 64; ++runs) {
    const std::optional<ByteRange> run = disk.PresentRange(at);
    if (!run) break;
    if (run->end <= at) __builtin_trap();
    at = run->end;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Read(data, size, VirtualDisk::kVhd);
  Read(data, size, VirtualDisk::kVhdx);
  Read(data, size, VirtualDisk::kRaw);
  return 0;
}
