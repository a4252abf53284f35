#include "preview/MdbDatabase.h"

#include <mdbtools.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "preview/PreviewFile.h"
#include "util/Bytes.h"

namespace dravik::preview {

namespace {

constexpr int kSignatureOffset = 0x00;
constexpr char kSignature[] = {0x00, 0x01, 0x00, 0x00};
constexpr int kFormatOffset = 0x04;
constexpr char kJetFormat[] = "Standard Jet DB";
constexpr char kAceFormat[] = "Standard ACE DB";
constexpr int kFormatLength = 16;  // the text and its terminating zero
constexpr int kVersionOffset = 0x14;
constexpr quint32 kVersionJet3 = 0;
constexpr quint32 kLastVersion = 6;
constexpr int kJet3PageSize = 2048;
constexpr int kPageSize = 4096;
// The header page, the first page of the free map and MSysObjects' definition.
constexpr int kLeastPages = 3;
// What a cell holds at most; longer memo texts are cut there.
constexpr size_t kBindSize = 16384;
// Jet allows 255 columns a table; a definition claiming more is damaged.
constexpr unsigned kMaxColumns = 255;

QString FromLibmdb(const char* text, size_t limit) { return QString::fromUtf8(text, qsizetype(strnlen(text, limit))); }

// Access gives every object of its catalog a name without control characters.
// A catalog that libmdb read with other names is damaged: on one such file
// libmdb read past the end of a property block and came back with every name
// empty.
bool IsPlausibleObjectName(const QString& name) {
  return !name.isEmpty() && std::none_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20; });
}

}  // namespace

struct MdbDatabase::Handle {
  explicit Handle(MdbHandle* h) : mdb(h) {}
  ~Handle() { mdb_close(mdb); }
  MdbHandle* mdb;
};

int MdbDatabase::PageSizeOf(const QByteArray& bytes) {
  if (bytes.size() < kVersionOffset + 4) return 0;
  if (std::memcmp(bytes.constData() + kSignatureOffset, kSignature, sizeof kSignature) != 0) return 0;
  const char* format = bytes.constData() + kFormatOffset;
  if (std::memcmp(format, kJetFormat, kFormatLength) != 0 && std::memcmp(format, kAceFormat, kFormatLength) != 0)
    return 0;
  const quint32 version = le32(AsBytes(bytes), kVersionOffset);
  if (version > kLastVersion) return 0;
  return version == kVersionJet3 ? kJet3PageSize : kPageSize;
}

std::optional<MdbDatabase> MdbDatabase::Open(QByteArray bytes) {
  const int page = PageSizeOf(bytes);
  // Access writes whole pages: a file cut inside a page is a damaged copy.
  if (page == 0 || bytes.size() < qsizetype(kLeastPages) * page || bytes.size() % page != 0) return std::nullopt;
  MdbHandle* mdb = mdb_open_buffer(bytes.data(), size_t(bytes.size()), MDB_NOFLAGS);
  if (!mdb) return std::nullopt;
  auto handle = std::make_unique<Handle>(mdb);
  mdb_set_bind_size(mdb, kBindSize);
  mdb_set_date_fmt(mdb, "%Y-%m-%d %H:%M:%S");
  mdb_set_shortdate_fmt(mdb, "%Y-%m-%d");
  if (!mdb_read_catalog(mdb, MDB_ANY)) return std::nullopt;
  MdbDatabase database(std::move(bytes), std::move(handle));
  for (unsigned i = 0; i < mdb->num_catalog; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    const QString name = FromLibmdb(entry->object_name, sizeof entry->object_name);
    if (!IsPlausibleObjectName(name)) return std::nullopt;
    if (entry->object_type == MDB_TABLE && !mdb_is_system_table(entry)) database.tables_ << name;
    if (entry->object_type == MDB_QUERY) database.queries_ << name;
    if (entry->object_type == MDB_RELATIONSHIP) database.relations_ << name;
  }
  return database;
}

MdbDatabase::MdbDatabase(QByteArray bytes, std::unique_ptr<Handle> handle)
    : bytes_(std::move(bytes)), handle_(std::move(handle)) {}
MdbDatabase::MdbDatabase(MdbDatabase&&) noexcept = default;
MdbDatabase& MdbDatabase::operator=(MdbDatabase&&) noexcept = default;
MdbDatabase::~MdbDatabase() = default;

std::optional<MdbRecords> MdbDatabase::Read(const QString& name) const {
  MdbHandle* mdb = handle_->mdb;
  MdbCatalogEntry* found = nullptr;
  for (unsigned i = 0; i < mdb->num_catalog && !found; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (entry->object_type == MDB_TABLE && FromLibmdb(entry->object_name, sizeof entry->object_name) == name)
      found = entry;
  }
  if (!found) return std::nullopt;
  std::unique_ptr<MdbTableDef, void (*)(MdbTableDef*)> table(mdb_read_table(found), mdb_free_tabledef);
  if (!table || !mdb_read_columns(table.get()) || table->num_cols > kMaxColumns ||
      table->columns->len != table->num_cols)
    return std::nullopt;

  MdbRecords records;
  records.total = table->num_rows;
  const unsigned columns = table->num_cols;
  std::vector<std::vector<char>> cells(columns, std::vector<char>(kBindSize + 1));
  std::vector<int> lengths(columns);
  for (unsigned c = 0; c < columns; ++c) {
    auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, c));
    records.columns << FromLibmdb(column->name, sizeof column->name);
    mdb_bind_column(table.get(), int(c + 1), cells[c].data(), &lengths[c]);
  }
  mdb_rewind_table(table.get());
  qint64 text = 0;
  while (records.rows.size() < kMaxRows && text < kMaxTextBytes && mdb_fetch_row(table.get())) {
    QStringList row;
    row.reserve(columns);
    for (unsigned c = 0; c < columns; ++c) {
      const size_t length = size_t(qBound(0, lengths[c], int(kBindSize)));
      row << QString::fromUtf8(cells[c].data(), qsizetype(strnlen(cells[c].data(), length)));
      text += qsizetype(length);
    }
    records.rows << row;
  }
  return records;
}

}  // namespace dravik::preview
