// The preview's own readers (Photoshop documents, dBASE tables) on any bytes:
// a picture or a table whose sizes agree with what was read, or a reason,
// never a crash, a hang or an allocation the input does not pay for.

#include <cstdint>
#include <cstdlib>

#include "preview/DbfReader.h"
#include "preview/PsdReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace dravik;
  const Bytes bytes(data, size);
  const preview::PsdRead psd = preview::ReadPsd(bytes);
  if (psd.picture && psd.picture->rgba.size() != std::size_t{psd.picture->width} * psd.picture->height * 4)
    std::abort();
  if (!psd.picture && psd.error.empty()) std::abort();
  const preview::DbfRead dbf = preview::ReadDbf(bytes);
  if (!dbf.table) return 0;
  const preview::DbfTable& table = *dbf.table;
  std::size_t recordBytes = 0;
  for (const auto& field : table.Fields()) recordBytes += field.length;
  if (table.RecordCount() * recordBytes > size) std::abort();
  for (std::size_t r = 0; r < table.RecordCount(); ++r) {
    table.Deleted(r);
    for (std::size_t f = 0; f < table.Fields().size(); ++f)
      if (table.Text(r, f).size() > table.Fields()[f].length + 16u) std::abort();
  }
  return 0;
}
