// Feeds arbitrary bytes to the structure checks that decide whether an office
// document goes to the converter, under every extension that has one. Any
// crash, hang or sanitizer report is a fault.

#include <cstddef>
#include <cstdint>

#include "preview/OfficeCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
  for (const char* extension : {".docx", ".doc", ".emf"})
    dravik::preview::LooksLikeWholeOfficeFile(bytes, QString::fromLatin1(extension));
  return 0;
}
