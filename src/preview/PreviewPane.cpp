#include "preview/PreviewPane.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>

#include "preview/ArchiveViewer.h"
#include "preview/Viewers.h"

namespace dravik::preview {

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(0, 0, 0, 0);
  auto* caption = new QLabel(tr("Preview:"));
  QFont bold = caption->font();
  bold.setBold(true);
  caption->setFont(bold);
  layout_->addWidget(caption);
  hint_ = new QLabel(tr("This area can be used for preview info..."));
  hint_->setAlignment(Qt::AlignCenter);
  layout_->addWidget(hint_, 1);
}

void PreviewPane::Clear() {
  Replace(nullptr);
  hint_->show();
  shown_ = ViewerKind::kNone;
}

void PreviewPane::Show(ViewerKind kind, const QString& path) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  Viewer* viewer = nullptr;
  switch (kind) {
    case ViewerKind::kImage: viewer = new ImageViewer; break;
    case ViewerKind::kText: viewer = new TextViewer; break;
    case ViewerKind::kArchive: viewer = new ArchiveViewer; break;
    case ViewerKind::kLargeFile: viewer = new NoticeViewer(tr(kTooLarge)); break;
    case ViewerKind::kNone: break;
  }
  if (viewer && !viewer->Load(path)) {
    delete viewer;
    viewer = nullptr;
  }
  shown_ = viewer ? kind : ViewerKind::kNone;
  Replace(viewer ? viewer : new NoticeViewer(tr(kNoPreview)));
  QApplication::restoreOverrideCursor();
}

void PreviewPane::Replace(Viewer* viewer) {
  delete viewer_;
  viewer_ = viewer;
  if (!viewer_) return;
  hint_->hide();
  layout_->addWidget(viewer_, 1);
}

}  // namespace dravik::preview
