#pragma once
// A Jet database (".mdb") read through libmdb: the names of its user tables,
// queries and relationships, and the records of one table. The file is read
// into memory and its header page checked before libmdb sees it.
//
// Header page (page 0), little-endian:
//   0x00  4  page signature 00 01 00 00
//   0x04 16  "Standard Jet DB\0" (Jet 3, Jet 4) or "Standard ACE DB\0"
//   0x14  4  version: 0 = Jet 3 (2,048-byte pages), 1 = Jet 4, 2 and up = ACE (4,096-byte pages)

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <memory>
#include <optional>

namespace dravik::preview {

struct MdbRecords {
  QStringList columns;
  QList<QStringList> rows;
  // The row count the table's definition gives, which may exceed rows.size().
  qint64 total = 0;
};

class MdbDatabase {
 public:
  // At most this many rows of a table are read, and at most this many bytes of text in all.
  static constexpr int kMaxRows = 100000;
  static constexpr qint64 kMaxTextBytes = 64 * 1024 * 1024;

  // Nothing when the bytes are not a Jet database libmdb can open, or when
  // libmdb reads its catalog with objects that have no plausible name.
  static std::optional<MdbDatabase> Open(QByteArray bytes);
  // The page size the header names, 0 when the bytes are no Jet database.
  static int PageSizeOf(const QByteArray& bytes);

  MdbDatabase(MdbDatabase&&) noexcept;
  MdbDatabase& operator=(MdbDatabase&&) noexcept;
  ~MdbDatabase();

  QStringList Tables() const { return tables_; }
  QStringList Queries() const { return queries_; }
  QStringList Relations() const { return relations_; }
  // All columns and the first kMaxRows rows, as "Select * From [name]" gives them;
  // nothing when the table's definition cannot be read.
  std::optional<MdbRecords> Read(const QString& table) const;

 private:
  struct Handle;
  MdbDatabase(QByteArray bytes, std::unique_ptr<Handle> handle);

  QByteArray bytes_;  // libmdb reads from this buffer for the handle's lifetime
  std::unique_ptr<Handle> handle_;
  QStringList tables_;
  QStringList queries_;
  QStringList relations_;
};

}  // namespace dravik::preview
