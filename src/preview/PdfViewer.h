#pragma once
// A PDF document through Qt PDF: its pages one under the other, fitted to the
// pane's width and scrolled.

#include "preview/Viewers.h"

class QPdfDocument;
class QPdfView;

namespace dravik::preview {

class PdfViewer : public Viewer {
  Q_OBJECT

 public:
  explicit PdfViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QString Problem() const override { return problem_; }
  int PageCount() const;

 private:
  QPdfDocument* document_;
  QPdfView* view_;
  QString problem_;
};

}  // namespace dravik::preview
