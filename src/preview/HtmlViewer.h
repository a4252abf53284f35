#pragma once
// Web pages (".htm", ".html"), web archives (".mht") and signed XML
// containers (".ddoc") in a text browser that loads nothing from the network
// or from outside the file: a page's pictures show only when the archive
// carries them.

#include <QHash>
#include <QTextBrowser>

#include "preview/Viewers.h"

namespace dravik::preview {

// A browser whose resources come only from the table it is given.
class ContainedBrowser : public QTextBrowser {
  Q_OBJECT

 public:
  using QTextBrowser::QTextBrowser;
  void SetResources(QHash<QString, QByteArray> resources) { resources_ = std::move(resources); }
  QVariant loadResource(int type, const QUrl& name) override;
  // Resources asked for that the file does not carry (and so were not loaded).
  int Refused() const { return refused_; }

 private:
  QHash<QString, QByteArray> resources_;
  int refused_ = 0;
};

class HtmlViewer : public Viewer {
  Q_OBJECT

 public:
  explicit HtmlViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QString Text() const;
  int RefusedResources() const { return browser_->Refused(); }
  // Whether a picture of that name was found in the file and shown.
  bool HasImage(const QString& name) const;

 private:
  ContainedBrowser* browser_;
};

}  // namespace dravik::preview
