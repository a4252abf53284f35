// The preview's DXF and RTF readers on any bytes: neither may crash, hang or
// make more than the input pays for (the drawing's entities by the pairs of
// the file and the INSERT budget, the document's text by a few bytes for each
// byte read).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "preview/DxfReader.h"
#include "preview/RtfReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace dravik::preview;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto drawing = ReadDxf(bytes)) {
    if (drawing->entities.size() > size / 4 + kDxfMaxExpanded) __builtin_trap();
  }
  if (const auto document = ReadRtf(bytes)) {
    if (PlainText(*document).size() > 4 * size) __builtin_trap();
  }
  return 0;
}
