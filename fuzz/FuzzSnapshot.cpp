// The snapshot reader on any bytes: it gives a result or a message, never a
// crash, a hang or an allocation the input does not pay for. A result read
// back must encode and decode to the same records.

#include <cstdint>
#include <cstdlib>

#include "snapshot/Snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace dravik;
  DecodedSnapshot decoded = DecodeSnapshot(Bytes(data, size));
  if (!decoded.snapshot) return 0;
  const Snapshot& s = *decoded.snapshot;
  const std::vector<std::uint8_t> again = s.info.mode == ScanMode::kFileTrace
                                              ? EncodeTraceSnapshot(s.info, s.groups, s.tracedFiles)
                                              : EncodeFileSystemSnapshot(s.info, s.store);
  const DecodedSnapshot back = DecodeSnapshot(again);
  if (!back.snapshot || back.snapshot->store.Files().size() != s.store.Files().size() ||
      back.snapshot->store.Folders().size() != s.store.Folders().size() ||
      back.snapshot->tracedFiles.size() != s.tracedFiles.size())
    std::abort();
  return 0;
}
