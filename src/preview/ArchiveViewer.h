#pragma once
// The entries of an archive (zip, cab, rar, gzip) by name, size and date,
// read through libarchive. Only the headers are read: an archive that would
// unpack to something vast costs no more than its listing.

#include <QStringList>

#include "preview/Viewers.h"

class QTreeWidget;

namespace dravik::preview {

class ArchiveViewer : public Viewer {
  Q_OBJECT

 public:
  // More entries than this are not listed.
  static constexpr int kMaxEntries = 100000;

  explicit ArchiveViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QStringList Names() const;
  // The size column of the entry of that name, empty when the archive does not say.
  QString SizeOf(const QString& name) const;

 private:
  QTreeWidget* list_;
};

}  // namespace dravik::preview
