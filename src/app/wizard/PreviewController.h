#pragma once
// The results page's preview: the file of the chosen row written into the
// run's private folder by the writers a save uses (with saving switched
// off), then shown in the pane by the viewer of its extension. The same file
// twice in a row is written once.

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>

namespace dravik::app {

class Wizard;
struct Session;

class PreviewController : public QObject {
  Q_OBJECT

 public:
  explicit PreviewController(Wizard& wizard);

  // Shows the file of a list row in the preview pane.
  void PreviewRow(int row);
  // How many files were written for previews, and where the last went.
  int Extractions() const { return extractions_; }
  const QString& LastPath() const { return lastPath_; }

 private:
  // The file shown last was cleared from the pane: it is shown again when chosen again.
  void ForgetShown();
  // A free name "tmpN.ext" in the preview folder; empty when it cannot be made.
  QString NextPath(const QString& extension);
  // Writes the file of the row into path; false when it was not written whole.
  bool Extract(int row, const QString& path);

  Wizard& wizard_;
  Session& session_;
  // The private folder (removed at exit), its running number and the file
  // shown last (path in the tree and identifier).
  std::unique_ptr<QTemporaryDir> folder_;
  int counter_ = 0;
  QString shownKey_;
  std::uint64_t shownId_ = 0;
  int extractions_ = 0;
  QString lastPath_;
};

}  // namespace dravik::app
