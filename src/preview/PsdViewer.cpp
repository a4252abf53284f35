#include "preview/PsdViewer.h"

#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include "preview/PreviewFile.h"
#include "preview/PsdReader.h"

namespace dravik::preview {

PsdViewer::PsdViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  label_ = new QLabel;
  label_->setAlignment(Qt::AlignCenter);
  label_->setMinimumSize(1, 1);
  layout->addWidget(label_);
}

bool PsdViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes) return false;
  const PsdRead read = ReadPsd(AsBytes(*bytes));
  if (!read.picture) return false;
  const PsdPicture& p = *read.picture;
  const QImage image(p.rgba.data(), static_cast<int>(p.width), static_cast<int>(p.height),
                     static_cast<qsizetype>(p.width) * 4, QImage::Format_RGBA8888);
  // A copy that owns its pixels: the reader's buffer goes with this function.
  picture_ = image.copy();
  if (picture_.isNull()) return false;
  Fit();
  return true;
}

void PsdViewer::resizeEvent(QResizeEvent* event) {
  Viewer::resizeEvent(event);
  Fit();
}

void PsdViewer::Fit() {
  if (picture_.isNull()) return;
  const QSize room = label_->size() * devicePixelRatioF();
  QPixmap shown = QPixmap::fromImage(picture_.width() > room.width() || picture_.height() > room.height()
                                         ? picture_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                         : picture_);
  shown.setDevicePixelRatio(devicePixelRatioF());
  label_->setPixmap(shown);
}

}  // namespace dravik::preview
