#pragma once
// libmdb trusts what a database says of itself: on damaged files it reads out
// of range, follows null pointers, allocates gigabytes or loops for ever (the
// files of a fuzz run of our reader). So libmdb never runs in the program
// itself: each reading happens in a forked child that is killed when it takes
// too long, cannot allocate more than a bounded amount, and hands what it read
// back through a pipe. A fault in libmdb ends the child, never the program,
// and memory that libmdb spoils dies with the child.

#include <QByteArray>
#include <QStringList>
#include <optional>

#include "preview/MdbDatabase.h"

namespace dravik::preview {

// How long one child may read before the file counts as damaged.
inline constexpr int kMdbChildMs = 5000;

// The names of a database's user tables, queries and relations.
struct MdbCatalog {
  QStringList tables;
  QStringList queries;
  QStringList relations;
};

// The catalog, when a child opened the database, read the records of every
// user table (as ReadMdbTableApart reads them) and exited normally in time;
// nothing otherwise.
std::optional<MdbCatalog> ReadMdbCatalogApart(const QByteArray& bytes, int timeoutMs = kMdbChildMs);

// One table's records as MdbDatabase::Read gives them, read by a child;
// nothing when the child fails or the table cannot be read.
std::optional<MdbRecords> ReadMdbTableApart(const QByteArray& bytes, const QString& table,
                                            int timeoutMs = kMdbChildMs);

}  // namespace dravik::preview
