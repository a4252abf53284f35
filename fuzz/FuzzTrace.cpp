// The File Trace readers on any bytes: a catalogue file, read to its end
// and a choice confirmed from every item it offers; a compound file, read
// for its kind; and carved bytes, read for their end by every end rule.
// None may crash, hang or allocate what the input does not pay for.

#include <cstdint>
#include <vector>

#include "raw/CarveEnd.h"
#include "raw/Catalogue.h"
#include "raw/CompoundFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace dravik;
  const Bytes bytes(data, size);
  const Catalogue catalogue = ReadCatalogue(bytes);
  std::vector<std::size_t> items;
  for (const CatalogueCategory& category : catalogue.categories)
    items.insert(items.end(), category.items.begin(), category.items.end());
  TraceChoice choice;
  ConfirmTypes(catalogue, items, 2, choice);
  CompoundAppName(bytes);
  OfficeKindOfCompound(bytes);
  for (const char16_t* extension : {u".jpg", u".png", u".gif", u".pdf", u".zip", u".wav", u".bmp", u".sqlite", u".7z",
                                    u".mp4", u".doc", u".tif", u".pbm", u".pam", u".pcx", u".sgi", u".ras", u".ico",
                                    u".xpm", u".aif", u".au", u".voc"})
    CarvedFileEnd(extension, bytes);
  return 0;
}
