#pragma once
// A positional, read-only source of bytes: an image file, a virtual disk, or a
// buffer in memory. There is no shared file position, so callers on different
// threads never interleave a seek and a read.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dravik {

// Bytes [offset, offset + length) of an open file, for copies that the
// kernel can make without passing them through a buffer.
struct FileSpan {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Bytes [begin, end) of a source.
struct ByteRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool operator==(const ByteRange&) const = default;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Where the bytes at offset lie in a file as they are, for as long as they
  // run on contiguously there (at most length); none when they do not (an
  // absent block, a buffer in memory).
  virtual std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const {
    (void)offset;
    (void)length;
    return std::nullopt;
  }

  // Fills out with the bytes at offset. Returns true when every byte was
  // delivered; otherwise the bytes that could not be read are set to zero.
  virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;

  // The first run of bytes at or after offset that the source really holds
  // (the data of an image file, not its absent blocks), cut to begin no
  // earlier than offset; none when it holds nothing from offset on. Runs are
  // as long as they go: the byte at end is not held. Every byte outside the
  // runs reads as zero or fails to read, so a search may pass over it
  // unread. A run ends where the file's data ends, whatever size the image
  // claims, and may reach past Size() where a reader delivers bytes there.
  // The default holds everything below Size().
  virtual std::optional<ByteRange> PresentRange(std::uint64_t offset) const {
    if (offset >= Size()) return std::nullopt;
    return ByteRange{offset, Size()};
  }

  virtual std::uint64_t Size() const = 0;
};

// Reads length bytes at offset into a new buffer; missing bytes read as zero.
// ok (when given) tells whether every byte was there.
std::vector<std::uint8_t> ReadBlock(const ByteSource& source, std::uint64_t offset, std::size_t length,
                                    bool* ok = nullptr);

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::uint64_t Size() const override { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace dravik
