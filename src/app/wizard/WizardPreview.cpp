// The wizard's preview: the file of the chosen row written into the run's
// private folder by the writers a save uses (with saving switched off), then
// shown in the pane by the viewer of its extension.

#include <QAbstractItemView>
#include <QFile>
#include <QFileInfo>

#include "app/results/FileListModel.h"
#include "app/results/TraceModels.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/Wizard.h"
#include "preview/PreviewPane.h"
#include "raw/CarveWriter.h"

namespace dravik::app {

using preview::ViewerKind;

void Wizard::PreviewRow(int row) {
  QString name, key;
  std::uint64_t id = 0, size = 0;
  if (results->ShowsTrace()) {
    const FoundFile* file = results->traceListModel->File(row);
    if (!file) return;
    name = QString::fromStdU16String(file->name);
    id = file->fileNumber;
    size = std::uint64_t{session_.traceChoice.carveSizeMiB} * 1024 * 1024;
    key = name;
  } else {
    const ListRow* item = results->listModel->Row(row);
    if (!item || item->kind != ListRow::Kind::kFile || !session_.Tree()) return;
    name = QString::fromStdU16String(item->name);
    id = item->id;
    size = item->size.value_or(0);
    key = QString::fromStdU16String(session_.Tree()->PathOf(results->listModel->FolderNode(), u'\\')) +
          QLatin1Char('\\') + name;
  }
  const ViewerKind kind = preview::ViewerForFile(name, size);
  if (kind == ViewerKind::kNone || kind == ViewerKind::kLargeFile) {
    results->preview->Show(kind);
    return;
  }
  key = key.toLower();
  if (key == lastPreview_ && id == lastPreviewId_) return;
  if (session_.snapshot && !EnsureSnapshotImage()) return;
  const QString path = NextPreviewPath(preview::PreviewExtension(name));
  const bool written = !path.isEmpty() && ExtractForPreview(row, path);
  lastPreview_ = key;
  lastPreviewId_ = id;
  lastPreviewPath_ = path;
  results->preview->Show(written ? kind : ViewerKind::kNone, path);
  results->ShownList()->setFocus();
}

QString Wizard::NextPreviewPath(const QString& extension) {
  if (!previewFolder_) previewFolder_ = std::make_unique<QTemporaryDir>();
  if (!previewFolder_->isValid()) return {};
  QString path;
  do {
    path = previewFolder_->filePath(QStringLiteral("tmp%1%2").arg(previewCounter_++).arg(extension));
  } while (QFileInfo::exists(path));
  return path;
}

bool Wizard::ExtractForPreview(int row, const QString& path) {
  ++previewExtractions_;
  const QFileInfo target(path);
  const std::filesystem::path folder = QFile::encodeName(target.absolutePath()).toStdString();
  std::u16string name = target.fileName().toStdU16String();
  SaveControl control;
  const FilterList everything;
  if (results->ShowsTrace()) {
    const SaveContext context{session_.reader, session_.params, session_.settings, everything, control};
    const FoundFile* file = results->traceListModel->File(row);
    return file && ExtractCarvedFile(context, folder, *file, session_.traceChoice.carveSizeMiB, false, name) ==
                       FileOutcome::kSaved;
  }
  const ListRow* item = results->listModel->Row(row);
  if (!session_.contents)
    session_.contents = session_.result->OpenContents(session_.reader);
  const SaveContext context{session_.reader, session_.params, session_.settings, everything, control};
  return session_.contents->Write(context, folder, session_.Store().Files().at(item->record), false, name) ==
         FileOutcome::kSaved;
}

}  // namespace dravik::app
