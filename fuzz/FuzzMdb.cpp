// Feeds arbitrary bytes to the ".mdb" reader of the preview: the header check,
// libmdb's catalog and every user table's records. Seed it with a real
// database (tests/data/mdb) so that the mutations get past the header page.
// Any crash, hang or sanitizer report is a fault, ours or libmdb's.

#include <QByteArray>
#include <cstddef>
#include <cstdint>

#include "preview/MdbDatabase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto database = dravik::preview::MdbDatabase::Open(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
  if (!database) return 0;
  for (const QString& table : database->Tables()) database->Read(table);
  return 0;
}
