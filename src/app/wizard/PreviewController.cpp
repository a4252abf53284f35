#include "app/wizard/PreviewController.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFileInfo>

#include "app/results/FileListModel.h"
#include "app/results/TraceModels.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/SnapshotController.h"
#include "app/wizard/Wizard.h"
#include "preview/PreviewPane.h"
#include "raw/CarveWriter.h"

namespace dravik::app {

using preview::ViewerKind;

PreviewController::PreviewController(Wizard& wizard)
    : wizard_(wizard), session_(wizard.session()) {
  connect(wizard_.results, &ResultsPage::RowChosen, this, &PreviewController::PreviewRow);
  connect(wizard_.results, &ResultsPage::FolderChanged, this, &PreviewController::ForgetShown);
}

void PreviewController::ForgetShown() {
  shownKey_.clear();
  shownId_ = 0;
}

void PreviewController::PreviewRow(int row) {
  ResultsPage* results = wizard_.results;
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
  if (key == shownKey_ && id == shownId_) return;
  if (session_.snapshot && !wizard_.snapshots().EnsureImage()) return;
  const QString path = NextPath(preview::PreviewExtension(name));
  const bool written = !path.isEmpty() && Extract(row, path);
  shownKey_ = key;
  shownId_ = id;
  lastPath_ = path;
  results->preview->Show(written ? kind : ViewerKind::kNone, path);
  results->ShownList()->setFocus();
}

QString PreviewController::NextPath(const QString& extension) {
  if (!folder_) folder_ = std::make_unique<QTemporaryDir>();
  if (!folder_->isValid()) return {};
  QString path;
  do {
    path = folder_->filePath(QStringLiteral("tmp%1%2").arg(counter_++).arg(extension));
  } while (QFileInfo::exists(path));
  return path;
}

bool PreviewController::Extract(int row, const QString& path) {
  ++extractions_;
  ResultsPage* results = wizard_.results;
  const QFileInfo target(path);
  const std::filesystem::path folder = QFile::encodeName(target.absolutePath()).toStdString();
  std::u16string name = target.fileName().toStdU16String();
  SaveControl control;
  const FilterList everything;
  const SaveContext context{session_.reader, session_.params, session_.settings, everything, control};
  if (results->ShowsTrace()) {
    const FoundFile* file = results->traceListModel->File(row);
    return file && ExtractCarvedFile(context, folder, *file, session_.traceChoice.carveSizeMiB, false, name) ==
                       FileOutcome::kSaved;
  }
  const ListRow* item = results->listModel->Row(row);
  if (!session_.contents) session_.contents = session_.result->OpenContents(session_.reader);
  return session_.contents->Write(context, folder, session_.Store().Files().at(item->record), false, name) ==
         FileOutcome::kSaved;
}

}  // namespace dravik::app
