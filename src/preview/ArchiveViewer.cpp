#include "preview/ArchiveViewer.h"

#include <archive.h>
#include <archive_entry.h>

#include <QDateTime>
#include <QFile>
#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

namespace dravik::preview {

namespace {

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};

QString EntryName(archive_entry* entry) {
  if (const char* utf8 = archive_entry_pathname_utf8(entry)) return QString::fromUtf8(utf8);
  if (const char* name = archive_entry_pathname(entry)) return QString::fromLocal8Bit(name);
  return {};
}

}  // namespace

ArchiveViewer::ArchiveViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  list_ = new QTreeWidget;
  list_->setRootIsDecorated(false);
  list_->setHeaderLabels({tr("Name"), tr("Size"), tr("Date")});
  list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  layout->addWidget(list_);
}

bool ArchiveViewer::Load(const QString& path) {
  std::unique_ptr<archive, ArchiveFree> reader(archive_read_new());
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_zip(reader.get());
  archive_read_support_format_cab(reader.get());
  archive_read_support_format_rar(reader.get());
  archive_read_support_format_rar5(reader.get());
  // A gzip file alone is one entry: its data, named after the file.
  archive_read_support_format_raw(reader.get());
  if (archive_read_open_filename(reader.get(), QFile::encodeName(path).constData(), 64 * 1024) != ARCHIVE_OK)
    return false;
  archive_entry* entry = nullptr;
  int status = ARCHIVE_OK;
  while (list_->topLevelItemCount() < kMaxEntries &&
         (status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    const QString size = archive_entry_size_is_set(entry) ? QString::number(archive_entry_size(entry)) : QString();
    const QString date = archive_entry_mtime_is_set(entry)
                             ? QDateTime::fromSecsSinceEpoch(archive_entry_mtime(entry)).toString(QStringLiteral("dd-MM-yyyy HH:mm"))
                             : QString();
    auto* row = new QTreeWidgetItem(list_, {EntryName(entry), size, date});
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) break;
  }
  // A raw "archive" of any file reads as one entry: only a real format counts.
  const bool raw = archive_format(reader.get()) == ARCHIVE_FORMAT_RAW && archive_filter_count(reader.get()) <= 1;
  return list_->topLevelItemCount() > 0 && !raw && status != ARCHIVE_FATAL;
}

QStringList ArchiveViewer::Names() const {
  QStringList names;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) names << list_->topLevelItem(i)->text(0);
  return names;
}

QString ArchiveViewer::SizeOf(const QString& name) const {
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    if (list_->topLevelItem(i)->text(0) == name) return list_->topLevelItem(i)->text(1);
  return {};
}

}  // namespace dravik::preview
