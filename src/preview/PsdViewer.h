#pragma once
// The merged picture of a Photoshop document, read by our own reader and
// scaled into the pane keeping its aspect.

#include "preview/Viewers.h"

namespace dravik::preview {

class PsdViewer : public ImageViewer {
  Q_OBJECT

 public:
  using ImageViewer::ImageViewer;
  bool Load(const QString& path) override;
};

}  // namespace dravik::preview
