#pragma once
// The preview pane below the results list: "Preview:" and its hint until a
// file is shown, then exactly one viewer, replaced on every dispatch. The pane
// owns the preview workspace, the private folder its viewers work in; a
// viewer keeps it while it lives, so it goes with the last of them.

#include <QWidget>
#include <memory>

#include "preview/PreviewRules.h"

class QLabel;
class QVBoxLayout;

namespace dravik::preview {

class PreviewWorkspace;
class Viewer;

inline constexpr const char* kNoPreview = "No preview is available for this file.";
inline constexpr const char* kTooLarge = "This file is too large to preview.";

class PreviewPane : public QWidget {
  Q_OBJECT

 public:
  explicit PreviewPane(QWidget* parent = nullptr);
  // Shows the file at path in a viewer of that kind; the no-preview notice
  // when the viewer cannot show it. kNone and kLargeFile need no path.
  void Show(ViewerKind kind, const QString& path = {});
  // Back to the caption's hint, no viewer.
  void Clear();
  Viewer* Current() const { return viewer_; }
  // What is shown: a kind, or kNone for the notice after a failure too.
  ViewerKind Shown() const { return shown_; }

 private:
  void ShowNoPreview(const QString& reason = {});
  void Replace(Viewer* viewer);

  std::shared_ptr<PreviewWorkspace> workspace_;
  QLabel* hint_;
  QVBoxLayout* layout_;
  Viewer* viewer_ = nullptr;
  ViewerKind shown_ = ViewerKind::kNone;
};

}  // namespace dravik::preview
