#pragma once
// An RTF document, read by our own reader, shown read-only.

#include "preview/RtfReader.h"
#include "preview/Viewers.h"

class QTextDocument;
class QTextEdit;

namespace dravik::preview {

class RichTextViewer : public Viewer {
  Q_OBJECT

 public:
  explicit RichTextViewer(QWidget* parent = nullptr);
  // False for a file that is not RTF or whose document does not end.
  bool Load(const QString& path) override;
  QString PlainText() const;
  const QTextDocument* Document() const;

 private:
  QTextEdit* text_;
};

// The reader's paragraphs and runs as a document.
void FillDocument(const RtfDocument& rtf, QTextDocument& document);

}  // namespace dravik::preview
