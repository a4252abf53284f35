#include "preview/ArchiveViewer.h"

#include <archive.h>
#include <archive_entry.h>
#include <unzip.h>

#include <QDateTime>
#include <QFile>
#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "preview/PreviewRules.h"

namespace dravik::preview {

namespace {

constexpr auto kDateFormat = "dd-MM-yyyy HH:mm";
constexpr unsigned long kUtf8NameFlag = 0x800;

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct UnzipClose {
  void operator()(void* zip) const { unzClose(zip); }
};

QString EntryName(archive_entry* entry) {
  if (const char* utf8 = archive_entry_pathname_utf8(entry)) return QString::fromUtf8(utf8);
  if (const char* name = archive_entry_pathname(entry)) return QString::fromLocal8Bit(name);
  return {};
}

QString ZipDate(const tm_unz& date) {
  const QDateTime time(QDate(static_cast<int>(date.tm_year), static_cast<int>(date.tm_mon) + 1,
                             static_cast<int>(date.tm_mday)),
                       QTime(static_cast<int>(date.tm_hour), static_cast<int>(date.tm_min),
                             static_cast<int>(date.tm_sec)));
  return time.isValid() ? time.toString(QLatin1String(kDateFormat)) : QString();
}

}  // namespace

ArchiveViewer::ArchiveViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  list_ = new QTreeWidget;
  list_->setRootIsDecorated(false);
  list_->setHeaderLabels({tr("Name"), tr("Size"), tr("Packed Size"), tr("Date")});
  list_->header()->setSectionResizeMode(kName, QHeaderView::Stretch);
  layout->addWidget(list_);
}

bool ArchiveViewer::Load(const QString& path) {
  const QString extension = PreviewExtension(path);
  if (extension == QLatin1String(".zip")) return ListZip(path);
  return ListOther(path, extension);
}

void ArchiveViewer::AddRow(const QString& name, const QString& size, const QString& packed, const QString& date) {
  auto* row = new QTreeWidgetItem(list_, {name, size, packed, date});
  row->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
  row->setTextAlignment(kPacked, Qt::AlignRight | Qt::AlignVCenter);
}

bool ArchiveViewer::ListZip(const QString& path) {
  std::unique_ptr<void, UnzipClose> zip(unzOpen64(QFile::encodeName(path).constData()));
  if (!zip) {
    problem_ = tr("Archive not opened");
    return false;
  }
  int status = unzGoToFirstFile(zip.get());
  while (status == UNZ_OK && list_->topLevelItemCount() < kMaxEntries) {
    unz_file_info64 info{};
    char name[4096];
    if (unzGetCurrentFileInfo64(zip.get(), &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    const QByteArray raw(name, static_cast<qsizetype>(std::min<unsigned long>(info.size_filename, sizeof name - 1)));
    AddRow((info.flag & kUtf8NameFlag) ? QString::fromUtf8(raw) : DecodeText(raw), QString::number(info.uncompressed_size),
           QString::number(info.compressed_size), ZipDate(info.tmu_date));
    status = unzGoToNextFile(zip.get());
  }
  if (list_->topLevelItemCount() == 0) {
    problem_ = tr("Could not get files from the archive !");
    return false;
  }
  return true;
}

bool ArchiveViewer::ListOther(const QString& path, const QString& extension) {
  std::unique_ptr<archive, ArchiveFree> reader(archive_read_new());
  const bool gzip = extension == QLatin1String(".gz");
  if (gzip) {
    // A gzip file is one entry: its data, named after the file.
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_raw(reader.get());
  } else if (extension == QLatin1String(".cab")) {
    archive_read_support_format_cab(reader.get());
  } else if (extension == QLatin1String(".rar")) {
    archive_read_support_format_rar(reader.get());
    archive_read_support_format_rar5(reader.get());
  } else {
    problem_ = tr("Could not determine archive type !");
    return false;
  }
  const QString failure = gzip ? tr("Could not read data from gzip archive !")
                          : extension == QLatin1String(".rar") ? tr("Open Error: Failed to open RAR file")
                                                               : tr("Archive not opened");
  if (archive_read_open_filename(reader.get(), QFile::encodeName(path).constData(), 64 * 1024) != ARCHIVE_OK) {
    problem_ = failure;
    return false;
  }
  archive_entry* entry = nullptr;
  int status = ARCHIVE_OK;
  while (list_->topLevelItemCount() < kMaxEntries &&
         (status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    const QString size = archive_entry_size_is_set(entry) ? QString::number(archive_entry_size(entry)) : QString();
    const QString date = archive_entry_mtime_is_set(entry)
                             ? QDateTime::fromSecsSinceEpoch(archive_entry_mtime(entry)).toString(QLatin1String(kDateFormat))
                             : QString();
    AddRow(EntryName(entry), size, QString(), date);
    if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) break;
  }
  // Without the gzip filter at work the raw reader took the file as it is.
  const bool unpacked = gzip && archive_filter_count(reader.get()) <= 1;
  if (list_->topLevelItemCount() == 0 || unpacked || status == ARCHIVE_FATAL) {
    problem_ = gzip ? failure : tr("Could not get files from the archive !");
    return false;
  }
  return true;
}

QStringList ArchiveViewer::Names() const {
  QStringList names;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) names << list_->topLevelItem(i)->text(kName);
  return names;
}

QString ArchiveViewer::Cell(const QString& name, Column column) const {
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    if (list_->topLevelItem(i)->text(kName) == name) return list_->topLevelItem(i)->text(column);
  return {};
}

}  // namespace dravik::preview
