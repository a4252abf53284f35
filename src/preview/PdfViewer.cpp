#include "preview/PdfViewer.h"

#include <QPdfDocument>
#include <QPdfView>
#include <QVBoxLayout>

namespace dravik::preview {

PdfViewer::PdfViewer(QWidget* parent) : Viewer(parent), document_(new QPdfDocument(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new QPdfView;
  view_->setPageMode(QPdfView::PageMode::MultiPage);
  view_->setZoomMode(QPdfView::ZoomMode::FitToWidth);
  layout->addWidget(view_);
}

bool PdfViewer::Load(const QString& path) {
  if (document_->load(path) != QPdfDocument::Error::None || document_->pageCount() <= 0) {
    problem_ = tr("Unable to open.");
    return false;
  }
  view_->setDocument(document_);
  return true;
}

int PdfViewer::PageCount() const { return document_->pageCount(); }

}  // namespace dravik::preview
