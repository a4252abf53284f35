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
    "Usage: dravik cat IMAGE [--offset BYTES] [--length BYTES] [--verbose]\n"
    "\n"
    "Writes the bytes of the image's virtual disk to standard output, as the\n"
    "engine reads them: absent blocks as zeros. The whole disk by default.\n"
    "\n"
    "Options:\n"
    "  --offset BYTES   first byte to write (decimal, or hexadecimal with 0x)\n"
    "  --length BYTES   number of bytes to write (default: up to the end of the disk)\n"
    "  --verbose        also say on standard error what the reader had to work around\n"
    "  --help           show this text\n";

// Large enough to make system calls cheap, small enough to stay in the cache.
constexpr std::size_t kChunk = 256 * 1024;

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

}  // namespace

int RunCat(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"offset", true}, {"length", true}, {"verbose"}, {"help"}});
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
  if (!OpenForCommand(disk, parsed.positionals[0], false, parsed.Has("verbose"))) return kExitFailed;
  const std::uint64_t size = disk.Size();
  if (!length) length = offset < size ? size - offset : 0;

  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *length)));
  for (std::uint64_t done = 0; done < *length;) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *length - done));
    const std::span<std::uint8_t> part(buffer.data(), take);
    if (!disk.ReadAt(offset + done, part)) {
      std::fprintf(stderr, "dravik: cannot read %zu bytes at virtual offset %llu: past the end of the disk or a "
                           "damaged block\n", take, static_cast<unsigned long long>(offset + done));
      return kExitFailed;
    }
    if (!WriteAll(part.data(), take)) {
      if (errno != EPIPE) std::perror("dravik: cannot write to standard output");
      return kExitFailed;
    }
    done += take;
  }
  return kExitOk;
}

}  // namespace dravik::cli
