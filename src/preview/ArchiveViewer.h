#pragma once
// The entries of an archive by name, size, packed size and date: zip through
// minizip, cab, rar and gzip through libarchive. Only the headers are read:
// an archive that would unpack to something vast costs no more than its listing.

#include <QStringList>

#include "preview/Viewers.h"

class QTreeWidget;

namespace dravik::preview {

class ArchiveViewer : public Viewer {
  Q_OBJECT

 public:
  // More entries than this are not listed.
  static constexpr int kMaxEntries = 100000;
  enum Column { kName, kSize, kPacked, kDate };

  explicit ArchiveViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QString Problem() const override { return problem_; }
  QStringList Names() const;
  // A column of the entry of that name, empty when the archive does not say.
  QString Cell(const QString& name, Column column) const;

 private:
  bool ListZip(const QString& path);
  bool ListOther(const QString& path, const QString& extension);
  void AddRow(const QString& name, const QString& size, const QString& packed, const QString& date);

  QTreeWidget* list_;
  QString problem_;
};

}  // namespace dravik::preview
