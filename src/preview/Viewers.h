#pragma once
// The viewers of the preview pane, each a widget that loads a file by path
// and says whether it could show it.

#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace dravik::preview {

class Viewer : public QWidget {
  Q_OBJECT

 public:
  using QWidget::QWidget;
  // False when the file cannot be shown; the pane then shows the no-preview notice.
  virtual bool Load(const QString& path) = 0;

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

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Fit();
  QLabel* label_;
  QPixmap picture_;
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

// A sentence in the middle of the pane: no preview, too large.
class NoticeViewer : public Viewer {
  Q_OBJECT

 public:
  explicit NoticeViewer(const QString& notice, QWidget* parent = nullptr);
  bool Load(const QString&) override { return true; }
  QString Notice() const;

 private:
  QLabel* label_;
};

// Decodes text by its byte-order mark, as UTF-8 when valid, else as Latin-1.
QString DecodeText(const QByteArray& bytes);

}  // namespace dravik::preview
