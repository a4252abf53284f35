#pragma once
// Office documents (Word, Excel, PowerPoint, EMF) through LibreOffice when it
// is installed: the file is converted to PDF by a separate headless process,
// and the first page (the first slide) is shown as wide as the pane. The
// interface never waits for the converter; a converter that fails, crashes,
// writes no PDF or takes too long ends in Failed(). The converter is ended
// with the viewer, so only the shown file's conversion ever runs.

#include <QImage>
#include <QTemporaryDir>
#include <memory>

#include "preview/Viewers.h"

class QLabel;
class QScrollArea;
class QPdfDocument;
class QProcess;
class QTimer;

namespace dravik::preview {

class PreviewWorkspace;

class OfficeViewer : public Viewer {
  Q_OBJECT

 public:
  // A converter still running after this long is ended.
  static constexpr int kTimeoutMs = 60000;

  // The LibreOffice program on the PATH, empty when none is installed.
  static QString FindConverter();

  explicit OfficeViewer(std::shared_ptr<PreviewWorkspace> workspace, QWidget* parent = nullptr);
  // converter: the program to run; empty means that none is installed.
  OfficeViewer(std::shared_ptr<PreviewWorkspace> workspace, const QString& converter, QWidget* parent = nullptr);
  ~OfficeViewer() override;

  bool Load(const QString& path) override;
  // Why the file shows no preview, when it does not.
  QString Problem() const { return problem_; }

  // How long a converter may run (kTimeoutMs unless set); for the next Load.
  void SetTimeout(int milliseconds);

  bool Converting() const;
  // The converter's process id while it runs, 0 otherwise.
  qint64 ConverterId() const;
  // The notice shown instead of a page (busy, or what to install); empty once a page shows.
  QString Notice() const;
  int PageCount() const;
  // The first page as rendered for the pane, in device pixels.
  const QImage& PageImage() const { return page_; }

 Q_SIGNALS:
  // The converter wrote a PDF and its first page is shown.
  void Converted();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool Start(const QString& path);
  void Finished();
  void Fail(const QString& problem);
  void EndConverter();
  void Render();
  void ShowNotice(const QString& notice);

  std::shared_ptr<PreviewWorkspace> workspace_;
  QString converter_;
  QLabel* label_;
  QScrollArea* scroll_;
  QPdfDocument* document_;
  QProcess* process_ = nullptr;
  QTimer* timeout_;
  std::unique_ptr<QTemporaryDir> output_;
  int profile_ = -1;
  QImage page_;
  QString problem_;
};

}  // namespace dravik::preview
