// The File Trace readers on any bytes: a catalogue file, read to its end
// and a choice confirmed from every item it offers; and a compound file,
// read for its kind. Neither may crash, hang or allocate what the input
// does not pay for.

#include <cstdint>
#include <vector>

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
  return 0;
}
