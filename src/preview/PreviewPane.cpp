#include "preview/PreviewPane.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>

#include "preview/PreviewWorkspace.h"
#include "preview/ViewerFactory.h"
#include "preview/Viewers.h"

namespace dravik::preview {

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent), workspace_(std::make_shared<PreviewWorkspace>()) {
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
  Viewer* viewer = kind == ViewerKind::kLargeFile ? new NoticeViewer(tr(kTooLarge)) : MakeViewer(kind, workspace_);
  QString reason;
  if (viewer && !viewer->Load(path)) {
    reason = viewer->Problem();
    delete viewer;
    viewer = nullptr;
  }
  if (viewer) {
    shown_ = kind;
    connect(
        viewer, &Viewer::Failed, this, [this, viewer] { if (viewer_ == viewer) ShowNoPreview(viewer->Problem()); },
        Qt::QueuedConnection);
    Replace(viewer);
  } else {
    ShowNoPreview(reason);
  }
  QApplication::restoreOverrideCursor();
}

void PreviewPane::ShowNoPreview(const QString& reason) {
  shown_ = ViewerKind::kNone;
  Replace(new NoticeViewer(tr(kNoPreview), reason));
}

void PreviewPane::Replace(Viewer* viewer) {
  // A viewer may be replaced from its own signal: deleteLater lets it return first.
  if (viewer_) {
    viewer_->hide();
    layout_->removeWidget(viewer_);
    viewer_->deleteLater();
  }
  viewer_ = viewer;
  if (!viewer_) return;
  hint_->hide();
  layout_->addWidget(viewer_, 1);
}

}  // namespace dravik::preview
