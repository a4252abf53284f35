#pragma once
// The merged picture of a Photoshop document, read by our own reader and
// scaled into the pane keeping its aspect.

#include <QImage>

#include "preview/Viewers.h"

class QLabel;

namespace dravik::preview {

class PsdViewer : public Viewer {
  Q_OBJECT

 public:
  explicit PsdViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QSize PictureSize() const { return picture_.size(); }
  // The decoded picture at full size.
  const QImage& Picture() const { return picture_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Fit();
  QLabel* label_;
  QImage picture_;
};

}  // namespace dravik::preview
