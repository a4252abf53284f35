#include "preview/HtmlViewer.h"

#include <QStringDecoder>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

#include "preview/MimeArchive.h"
#include "preview/PreviewFile.h"

namespace dravik::preview {

namespace {

QString DecodePage(const QByteArray& bytes, const QString& charset) {
  if (!charset.isEmpty()) {
    QStringDecoder named(charset.toLatin1().constData());
    if (named.isValid()) return named.decode(bytes);
  }
  QStringDecoder fromPage = QStringDecoder::decoderForHtml(bytes);
  if (fromPage.isValid()) return fromPage.decode(bytes);
  return DecodeText(bytes);
}

bool LooksLikeXmlOnly(const QByteArray& bytes) {
  const QByteArray head = bytes.left(4096).toLower();
  return head.trimmed().startsWith("<?xml") && !head.contains("<html");
}

}  // namespace

QVariant ContainedBrowser::loadResource(int, const QUrl& name) {
  const QString wanted = name.toString();
  if (auto found = resources_.constFind(wanted); found != resources_.cend()) return *found;
  // A page may name a part relatively while the part carries the full address.
  const QString file = name.fileName();
  if (!file.isEmpty())
    for (auto it = resources_.cbegin(); it != resources_.cend(); ++it)
      if (QUrl(it.key()).fileName() == file) return it.value();
  ++refused_;
  return {};
}

HtmlViewer::HtmlViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  browser_ = new ContainedBrowser;
  browser_->setOpenLinks(false);
  browser_->setOpenExternalLinks(false);
  layout->addWidget(browser_);
}

bool HtmlViewer::Load(const QString& path) {
  const std::optional<QByteArray> maybeBytes = ReadPreviewFile(path);
  if (!maybeBytes || maybeBytes->isEmpty()) return false;
  const QByteArray& bytes = *maybeBytes;
  if (path.endsWith(QLatin1String(".mht"), Qt::CaseInsensitive)) {
    std::optional<MimeArchive> archive = ReadMimeArchive(bytes);
    if (!archive) return false;
    browser_->SetResources(std::move(archive->resources));
    browser_->setHtml(DecodePage(archive->page, archive->pageCharset));
    return true;
  }
  if (LooksLikeXmlOnly(bytes)) {
    browser_->setPlainText(DecodeText(bytes));
    return true;
  }
  browser_->setHtml(DecodePage(bytes, {}));
  return true;
}

QString HtmlViewer::Text() const { return browser_->toPlainText(); }

bool HtmlViewer::HasImage(const QString& name) const {
  return browser_->document()->resource(QTextDocument::ImageResource, QUrl(name)).isValid();
}

}  // namespace dravik::preview
