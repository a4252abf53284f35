#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "cli/Args.h"
#include "cli/Commands.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

constexpr const char* kCatUsage =
    "Usage: dravik cat IMAGE [--offset BYTES] [--length BYTES] [--verbose] [--as-raw]\n"
    "\n"
    "Writes the bytes of the image's virtual disk to standard output, as the\n"
    "engine reads them: absent blocks as zeros. The whole disk by default.\n"
    "\n"
    "Options:\n"
    "  --offset BYTES   first byte to write (decimal, or hexadecimal with 0x)\n"
    "  --length BYTES   number of bytes to write (default: up to the end of the disk)\n"
    "  --as-raw         read the file as a plain disk whatever its name says\n"
    "  --verbose        also say on standard error what the reader had to work around\n"
    "  --help           show this text\n";

// The piece of the buffered path: the read size of GNU cat, which keeps the
// buffer in the processor's cache between the read and the write.
constexpr std::size_t kChunk = 128 * 1024;
// The most one kernel copy is asked to move (sendfile moves less than 2 GiB).
constexpr std::uint64_t kKernelPiece = 1ULL << 30;

bool WriteAll(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

struct Sent {
  std::uint64_t bytes = 0;
  bool unsupported = false;  // standard output takes no kernel copy; nothing was written
  bool failed = false;       // a write failed; errno says why
};

// Copies bytes that lie in the image file as they are to standard output
// inside the kernel, without passing them through a buffer of ours: sendfile
// takes a pipe, a regular file or /dev/null, but not a terminal or a file
// opened for appending, which then get the buffered path. Stops early (with
// fewer bytes) when the file ends before the span does.
Sent SendSpan(const FileSpan& span) {
  Sent sent;
  auto from = static_cast<off_t>(span.offset);
  while (sent.bytes < span.length) {
    const auto piece = static_cast<std::size_t>(std::min(span.length - sent.bytes, kKernelPiece));
    const ssize_t moved = ::sendfile(STDOUT_FILENO, span.fd, &from, piece);
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) {
      const bool refused = errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
      (sent.bytes == 0 && refused ? sent.unsupported : sent.failed) = true;
      return sent;
    }
    if (moved == 0) return sent;
    sent.bytes += static_cast<std::uint64_t>(moved);
  }
  return sent;
}

int WriteFailed() {
  if (errno != EPIPE) std::perror("dravik: cannot write to standard output");
  return kExitFailed;
}

}  // namespace

int RunCat(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"offset", true}, {"length", true}, {"verbose"}, {"as-raw"}, {"help"}});
  if (!parsed.error.empty()) return UsageError(parsed.error, kCatUsage);
  if (parsed.Has("help")) {
    std::fputs(kCatUsage, stdout);
    return kExitOk;
  }
  if (parsed.positionals.size() != 1) return UsageError("cat takes one IMAGE", kCatUsage);
  std::uint64_t offset = 0;
  if (auto text = parsed.Value("offset")) {
    const auto value = ParseByteCount(*text);
    if (!value) return UsageError("--offset needs a byte count, not '" + *text + "'", kCatUsage);
    offset = *value;
  }
  std::optional<std::uint64_t> length;
  if (auto text = parsed.Value("length")) {
    length = ParseByteCount(*text);
    if (!length) return UsageError("--length needs a byte count, not '" + *text + "'", kCatUsage);
  }

  VirtualDisk disk;
  if (!OpenForCommand(disk, parsed.positionals[0], {false, parsed.Has("as-raw")}, parsed.Has("verbose"))) return kExitFailed;
  const std::uint64_t size = disk.Size();
  if (!length) length = offset < size ? size - offset : 0;

  // Runs that lie in the file as they are go out as kernel copies while
  // standard output takes them; absent blocks, and everything once it does
  // not, are read into the buffer and written.
  bool kernelCopies = true;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *length)));
  for (std::uint64_t done = 0; done < *length;) {
    if (kernelCopies) {
      if (const auto span = disk.Locate(offset + done, *length - done)) {
        const Sent sent = SendSpan(*span);
        if (sent.failed) return WriteFailed();
        kernelCopies = !sent.unsupported;
        done += sent.bytes;
        if (sent.bytes == span->length) continue;
      }
    }
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *length - done));
    const std::span<std::uint8_t> part(buffer.data(), take);
    if (!disk.ReadAt(offset + done, part)) {
      std::fprintf(stderr, "dravik: cannot read %zu bytes at virtual offset %llu: past the end of the disk or a "
                           "damaged block\n", take, static_cast<unsigned long long>(offset + done));
      return kExitFailed;
    }
    if (!WriteAll(part.data(), take)) return WriteFailed();
    done += take;
  }
  return kExitOk;
}

}  // namespace dravik::cli
