#include "preview/Viewers.h"

#include "preview/PreviewFile.h"

#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPlainTextEdit>
#include <QStringDecoder>
#include <QVBoxLayout>

namespace dravik::preview {

QString DecodeText(const QByteArray& bytes) {
  if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
    QStringDecoder utf16(bytes.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
                         QStringDecoder::Flag::Stateless);
    return utf16.decode(bytes.mid(2));
  }
  const QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(body);
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes);
}

namespace {

// A label filling the viewer, its picture centred; it may shrink below the
// picture, which is then scaled down to fit.
QLabel* FillWithPictureLabel(QWidget* viewer) {
  auto* layout = new QVBoxLayout(viewer);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* label = new QLabel;
  label->setAlignment(Qt::AlignCenter);
  label->setMinimumSize(1, 1);
  layout->addWidget(label);
  return label;
}

}  // namespace

ImageViewer::ImageViewer(QWidget* parent) : Viewer(parent) {
  label_ = FillWithPictureLabel(this);
}

bool ImageViewer::Load(const QString& path) {
  // The reader keeps its own bound on what a picture may allocate, so a
  // damaged header that claims a vast picture fails instead of exhausting memory.
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  return Show(reader.read());
}

bool ImageViewer::Show(QImage picture) {
  if (picture.isNull()) return false;
  picture_ = std::move(picture);
  Fit();
  return true;
}

void ImageViewer::resizeEvent(QResizeEvent* event) {
  Viewer::resizeEvent(event);
  Fit();
}

void ImageViewer::Fit() {
  if (picture_.isNull()) return;
  const QSize room = label_->size() * devicePixelRatioF();
  QPixmap shown = QPixmap::fromImage(picture_.width() > room.width() || picture_.height() > room.height()
                                         ? picture_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                         : picture_);
  shown.setDevicePixelRatio(devicePixelRatioF());
  label_->setPixmap(shown);
}

TextViewer::TextViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  text_ = new QPlainTextEdit;
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  layout->addWidget(text_);
}

bool TextViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes) return false;
  text_->setPlainText(DecodeText(*bytes));
  return true;
}

QString TextViewer::Text() const { return text_->toPlainText(); }

NoticeViewer::NoticeViewer(const QString& notice, const QString& reason, QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  label_ = new QLabel(notice);
  reason_ = new QLabel(reason);
  for (QLabel* label : {label_, reason_}) {
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    layout->addWidget(label);
  }
  reason_->setVisible(!reason.isEmpty());
  reason_->setForegroundRole(QPalette::PlaceholderText);
  layout->addStretch(1);
}

QString NoticeViewer::Notice() const { return label_->text(); }
QString NoticeViewer::Reason() const { return reason_->text(); }

AnimationViewer::AnimationViewer(QWidget* parent) : Viewer(parent) {
  label_ = FillWithPictureLabel(this);
}

bool AnimationViewer::Load(const QString& path) {
  // The first frame must decode: a file cut after its header is refused here
  // rather than shown as an empty movie.
  QImageReader first(path);
  first.setDecideFormatFromContent(true);
  if (first.read().isNull()) return false;
  movie_ = new QMovie(path, QByteArray(), this);
  if (!movie_->isValid() || !movie_->jumpToFrame(0)) return false;
  size_ = movie_->currentImage().size();
  label_->setMovie(movie_);
  Fit();
  movie_->start();
  return true;
}

int AnimationViewer::FrameCount() const { return movie_ ? movie_->frameCount() : 0; }

void AnimationViewer::resizeEvent(QResizeEvent* event) {
  Viewer::resizeEvent(event);
  Fit();
}

void AnimationViewer::Fit() {
  if (!movie_ || size_.isEmpty()) return;
  const QSize room = label_->size();
  movie_->setScaledSize(size_.width() > room.width() || size_.height() > room.height()
                            ? size_.scaled(room, Qt::KeepAspectRatio)
                            : size_);
}

}  // namespace dravik::preview
