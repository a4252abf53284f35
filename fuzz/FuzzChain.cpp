// Feeds arbitrary bytes to the VHDX log replay and the parent-locator
// parsing: the input is split into a child VHDX and a parent VHDX, both held
// in memory, and the child is opened with its parent found through an opener
// that knows only those two files (and the child itself, so that loops are
// reached). Any crash, hang or sanitizer report is a fault.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vdisk/VirtualDisk.h"


using namespace dravik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  // The first four bytes say where the child ends and the parent begins.
  const std::size_t cut = 4 + (static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8 |
                               static_cast<std::size_t>(data[2]) << 16 | static_cast<std::size_t>(data[3]) << 24) %
                                  (size - 3);
  const std::vector<std::uint8_t> child(data + 4, data + cut);
  const std::vector<std::uint8_t> parent(data + cut, data + size);
  const SourceOpener open = [&](const std::filesystem::path& path, std::string* why) -> std::unique_ptr<ByteSource> {
    const std::string name = path.filename().string();
    if (name == "child.avhdx") return std::make_unique<MemorySource>(child);
    if (!name.empty()) return std::make_unique<MemorySource>(parent);
    if (why) *why = "no such file";
    return nullptr;
  };
  VirtualDisk disk;
  disk.Create(VirtualDisk::kVhdx);
  if (!disk.Open(std::make_unique<MemorySource>(child), "/fuzz/child.avhdx", open)) return 0;
  std::vector<std::uint8_t> buffer(3 * 512);
  for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{511}, disk.Size() / 2, disk.Size() - 1})
    disk.ReadAt(offset, buffer);
  std::uint64_t at = 0;
  for (int runs = 0; runs < 4; ++runs) {
    const auto run = disk.PresentRange(at);
    if (!run) break;
    at = run->end;
  }
  return 0;
}
