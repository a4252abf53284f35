#pragma once
// The viewers of the preview pane, each a widget that loads a file by path
// and says whether it could show it.

#include <QImage>
#include <QWidget>

class QLabel;
class QMovie;
class QPlainTextEdit;

namespace dravik::preview {

class Viewer : public QWidget {
  Q_OBJECT

 public:
  using QWidget::QWidget;
  // False when the file cannot be shown; the pane then shows the no-preview notice.
  virtual bool Load(const QString& path) = 0;
  // Why the last Load failed, when the viewer can say more than that it did.
  virtual QString Problem() const { return {}; }

 Q_SIGNALS:
  // A viewer that finishes loading after Load returned (a converter in
  // another process) says so when it fails after all.
  void Failed();
};

// A picture scaled to the pane, keeping its aspect.
class ImageViewer : public Viewer {
  Q_OBJECT

 public:
  explicit ImageViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QSize PictureSize() const { return picture_.size(); }
  // The decoded picture at full size.
  const QImage& Picture() const { return picture_; }

 protected:
  // Shows a picture decoded by other means; false when it is empty.
  bool Show(QImage picture);
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Fit();
  QLabel* label_;
  QImage picture_;
};

// Plain text, read-only: UTF-16 with its byte-order mark, UTF-8 when the
// bytes are valid UTF-8, Latin-1 otherwise.
class TextViewer : public Viewer {
  Q_OBJECT

 public:
  explicit TextViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QString Text() const;

 private:
  QPlainTextEdit* text_;
};

// A sentence in the middle of the pane (no preview, too large), with the
// reason in a second line when there is one.
class NoticeViewer : public Viewer {
  Q_OBJECT

 public:
  explicit NoticeViewer(const QString& notice, const QString& reason = {}, QWidget* parent = nullptr);
  bool Load(const QString&) override { return true; }
  QString Notice() const;
  QString Reason() const;

 private:
  QLabel* label_;
  QLabel* reason_;
};

// A picture that may move: the frames of a GIF played in turn, scaled to the pane.
class AnimationViewer : public Viewer {
  Q_OBJECT

 public:
  explicit AnimationViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  int FrameCount() const;
  QSize PictureSize() const { return size_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Fit();
  QLabel* label_;
  QMovie* movie_ = nullptr;
  QSize size_;
};

// Decodes text by its byte-order mark, as UTF-8 when valid, else as Latin-1.
QString DecodeText(const QByteArray& bytes);

}  // namespace dravik::preview
