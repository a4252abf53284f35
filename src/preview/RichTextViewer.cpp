#include "preview/RichTextViewer.h"

#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include "preview/PreviewFile.h"

namespace dravik::preview {

namespace {

QTextCharFormat FormatOf(const RtfStyle& style) {
  QTextCharFormat format;
  format.setFontWeight(style.bold ? QFont::Bold : QFont::Normal);
  format.setFontItalic(style.italic);
  format.setFontUnderline(style.underline);
  format.setFontStrikeOut(style.strike);
  format.setFontPointSize(style.half_points / 2.0);
  if (style.colour) format.setForeground(QColor::fromRgb(static_cast<QRgb>(*style.colour)));
  return format;
}

}  // namespace

void FillDocument(const RtfDocument& rtf, QTextDocument& document) {
  document.clear();
  QTextCursor cursor(&document);
  bool first = true;
  for (const RtfParagraph& paragraph : rtf.paragraphs) {
    if (!first) cursor.insertBlock();
    first = false;
    for (const RtfRun& run : paragraph.runs) {
      // A line break inside a paragraph, not a new one.
      QString text = QString::fromUtf8(run.text);
      text.replace(QLatin1Char('\n'), QChar::LineSeparator);
      cursor.insertText(text, FormatOf(run.style));
    }
  }
}

RichTextViewer::RichTextViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  text_ = new QTextEdit;
  text_->setReadOnly(true);
  layout->addWidget(text_);
}

bool RichTextViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes) return false;
  const auto rtf = ReadRtf(std::string_view(bytes->constData(), static_cast<std::size_t>(bytes->size())));
  if (!rtf) return false;
  FillDocument(*rtf, *text_->document());
  text_->moveCursor(QTextCursor::Start);
  return true;
}

QString RichTextViewer::PlainText() const { return text_->toPlainText(); }

const QTextDocument* RichTextViewer::Document() const { return text_->document(); }

}  // namespace dravik::preview
