#pragma once
// A read-only file seen with writes laid over it in memory: runs of new bytes
// and runs of zeros, later ones replacing earlier ones where they overlap.
// The file itself is never written. Used to read a VHDX as its log says it
// should be, without replaying the log into the file.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "util/Bytes.h"
#include "vdisk/ByteSource.h"

namespace dravik {

class PatchedSource final : public ByteSource {
 public:
  explicit PatchedSource(std::unique_ptr<ByteSource> file);

  void Write(std::uint64_t offset, Bytes bytes);
  void Zero(std::uint64_t offset, std::uint64_t length);
  // The source is at least this long; bytes past the file's end read as zeros.
  void ExtendTo(std::uint64_t size);

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const override;
  std::uint64_t Size() const override { return size_; }
  std::size_t PatchCount() const { return patches_.size(); }

 private:
  struct Patch {
    std::uint64_t end = 0;
    std::vector<std::uint8_t> bytes;  // empty: a run of zeros
  };
  // Makes room for [begin, end): cuts the patches that overlap it.
  void Clear(std::uint64_t begin, std::uint64_t end);

  std::unique_ptr<ByteSource> file_;
  std::map<std::uint64_t, Patch> patches_;  // by first byte; never overlapping
  std::uint64_t size_ = 0;
};

}  // namespace dravik
