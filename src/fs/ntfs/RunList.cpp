#include "fs/ntfs/RunList.h"

namespace dravik::ntfs {

DecodedRuns DecodeRunList(Bytes list) {
  DecodedRuns result;
  std::int64_t previous = 0;
  std::size_t at = 0;
  while (at < list.size()) {
    const std::uint8_t header = list[at++];
    if (header == 0) return result;
    const std::size_t lengthBytes = header & 0x0F;
    const std::size_t offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || list.size() - at < lengthBytes + offsetBytes) {
      result.ok = false;
      return result;
    }
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) length |= std::uint64_t{list[at + i]} << (8 * i);
    at += lengthBytes;
    Run run{std::nullopt, length};
    if (offsetBytes > 0) {
      std::uint64_t raw = 0;
      for (std::size_t i = 0; i < offsetBytes; ++i) raw |= std::uint64_t{list[at + i]} << (8 * i);
      at += offsetBytes;
      if (offsetBytes < 8 && (raw >> (8 * offsetBytes - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * offsetBytes);
      const std::int64_t cluster = previous + static_cast<std::int64_t>(raw);
      if (cluster < 0) {
        result.ok = false;
        return result;
      }
      previous = cluster;
      run.firstCluster = static_cast<std::uint64_t>(cluster);
    }
    result.runs.push_back(run);
  }
  result.ok = false;  // the list ran past its attribute without an end mark
  return result;
}

std::vector<Run> RunsWithinVolume(const std::vector<Run>& runs, std::uint64_t volumeClusters) {
  std::vector<Run> within;
  for (const Run& run : runs) {
    if (run.firstCluster && (run.clusters > volumeClusters || *run.firstCluster > volumeClusters - run.clusters)) break;
    within.push_back(run);
  }
  return within;
}

}  // namespace dravik::ntfs
