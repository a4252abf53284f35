#include "preview/OfficeViewer.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QPainter>
#include <QPdfDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include "preview/OfficeCheck.h"
#include "preview/PreviewRules.h"
#include "preview/PreviewWorkspace.h"

namespace dravik::preview {

namespace {

// The converter runs in a process group of its own: LibreOffice's launcher
// starts the office itself as a child, and ending the group ends both.
void OwnProcessGroup() { ::setpgid(0, 0); }

// Rendered pages are never larger than this on either side, whatever the pane.
constexpr int kMaxRenderSide = 4096;

}  // namespace

QString OfficeViewer::FindConverter() {
  for (const char* name : {"soffice", "libreoffice"}) {
    const QString program = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (!program.isEmpty()) return program;
  }
  return {};
}

OfficeViewer::OfficeViewer(std::shared_ptr<PreviewWorkspace> workspace, QWidget* parent)
    : OfficeViewer(std::move(workspace), FindConverter(), parent) {}

OfficeViewer::OfficeViewer(std::shared_ptr<PreviewWorkspace> workspace, const QString& converter, QWidget* parent)
    : Viewer(parent),
      workspace_(std::move(workspace)),
      converter_(converter),
      document_(new QPdfDocument(this)),
      timeout_(new QTimer(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  label_ = new QLabel;
  label_->setAlignment(Qt::AlignCenter);
  label_->setWordWrap(true);
  // A page is as wide as the pane and scrolls: fitted whole into a pane a
  // few lines high, a portrait page could not be read.
  scroll_ = new QScrollArea;
  scroll_->setWidget(label_);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  layout->addWidget(scroll_);
  timeout_->setSingleShot(true);
  timeout_->setInterval(kTimeoutMs);
  connect(timeout_, &QTimer::timeout, this, [this] {
    EndConverter();
    Fail(tr("The document took too long to convert."));
  });
}

OfficeViewer::~OfficeViewer() { EndConverter(); }

bool OfficeViewer::Load(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() > qint64(kPreviewLimit)) {
    problem_ = tr("Unable to open.");
    return false;
  }
  if (!LooksLikeWholeOfficeFile(file.read(qint64(kPreviewLimit)), PreviewExtension(path))) {
    problem_ = tr("The document is damaged.");
    return false;
  }
  if (converter_.isEmpty()) {
    ShowNotice(tr("Install LibreOffice to preview office documents."));
    return true;
  }
  return Start(path);
}

bool OfficeViewer::Start(const QString& path) {
  output_ = workspace_->NewFolder(QStringLiteral("convert"));
  const std::optional<QProcessEnvironment> environment = workspace_->HelperEnvironment();
  profile_ = workspace_->AcquireProfile();
  if (!output_ || !environment || profile_ < 0) {
    problem_ = tr("No temporary folder for the conversion.");
    return false;
  }
  process_ = new QProcess(this);
  process_->setProgram(converter_);
  // Every path as an encoded file URL: the workspace's name holds blanks, and
  // LibreOffice cuts a profile URL at a raw blank. It then fails, and its next
  // start runs in safe mode, which moves every entry of the folder it took for
  // the profile (the whole temporary folder) aside. URLs also keep a file name
  // from reading as an option.
  process_->setArguments({QStringLiteral("--headless"), QStringLiteral("--norestore"), QStringLiteral("--nolockcheck"),
                          QStringLiteral("-env:UserInstallation=") + workspace_->ProfileUrl(profile_),
                          QStringLiteral("--convert-to"), QStringLiteral("pdf"), QStringLiteral("--outdir"),
                          EncodedFileUrl(output_->path()), EncodedFileUrl(QFileInfo(path).absoluteFilePath())});
  process_->setProcessEnvironment(*environment);
  process_->setWorkingDirectory(environment->value(QStringLiteral("TMPDIR")));
  // What the converter prints is of no use and must not pile up in memory.
  process_->setStandardOutputFile(QProcess::nullDevice());
  process_->setStandardErrorFile(QProcess::nullDevice());
  process_->setChildProcessModifier(OwnProcessGroup);
  connect(process_, &QProcess::finished, this, &OfficeViewer::Finished);
  connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    EndConverter();
    Fail(tr("LibreOffice could not be started."));
  });
  process_->start();
  // A program that cannot be started may say so at once, before anyone listens to Failed().
  if (!process_) return false;
  // Set from this side too, so that the group exists even before the child gets to it.
  if (process_->processId() > 0) ::setpgid(pid_t(process_->processId()), pid_t(process_->processId()));
  timeout_->start();
  ShowNotice(tr("Converting the document for preview..."));
  return true;
}

void OfficeViewer::Finished() {
  const bool crashed = process_->exitStatus() != QProcess::NormalExit;
  EndConverter();
  if (crashed) return Fail(tr("LibreOffice stopped while converting the document."));
  // LibreOffice exits with 0 when it cannot read a document; only the PDF tells.
  const QStringList pdfs = QDir(output_->path()).entryList({QStringLiteral("*.pdf")}, QDir::Files);
  if (pdfs.size() != 1 || document_->load(QDir(output_->path()).filePath(pdfs.front())) != QPdfDocument::Error::None ||
      document_->pageCount() <= 0)
    return Fail(tr("LibreOffice could not convert the document."));
  Render();
  Q_EMIT Converted();
}

void OfficeViewer::Fail(const QString& problem) {
  problem_ = problem;
  Q_EMIT Failed();
}

void OfficeViewer::EndConverter() {
  timeout_->stop();
  workspace_->ReleaseProfile(profile_);
  profile_ = -1;
  if (!process_) return;
  process_->disconnect(this);
  if (process_->state() != QProcess::NotRunning) {
    // Never 0 here: kill(0) would end this program's own group.
    if (process_->processId() > 0) ::kill(-pid_t(process_->processId()), SIGKILL);
    process_->kill();
    process_->waitForFinished();
  }
  process_->deleteLater();
  process_ = nullptr;
}

void OfficeViewer::Render() {
  if (document_->pageCount() <= 0) return;
  const QSizeF points = document_->pagePointSize(0);
  if (points.isEmpty()) return;
  const qreal ratio = devicePixelRatioF();
  const QSize room = scroll_->maximumViewportSize();
  qreal width = room.width();
  // A page taller than the pane brings the scroll bar, which takes its width from the page.
  if (width * points.height() / points.width() > room.height())
    width -= style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_->verticalScrollBar());
  const QSizeF wanted(width * ratio, width * ratio * points.height() / points.width());
  const QSize size = wanted.scaled(QSizeF(kMaxRenderSide, kMaxRenderSide), Qt::KeepAspectRatio)
                         .boundedTo(wanted)
                         .toSize()
                         .expandedTo({1, 1});
  // The renderer leaves the paper transparent; the page is shown on white, as printed.
  page_ = QImage(size, QImage::Format_RGB32);
  page_.fill(Qt::white);
  QPainter(&page_).drawImage(0, 0, document_->render(0, size));
  page_.setDevicePixelRatio(ratio);
  label_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label_->setPixmap(QPixmap::fromImage(page_));
}

void OfficeViewer::resizeEvent(QResizeEvent* event) {
  Viewer::resizeEvent(event);
  if (document_->pageCount() > 0) Render();
}

void OfficeViewer::ShowNotice(const QString& notice) { label_->setText(notice); }

void OfficeViewer::SetTimeout(int milliseconds) { timeout_->setInterval(milliseconds); }

bool OfficeViewer::Converting() const { return process_ != nullptr; }

qint64 OfficeViewer::ConverterId() const { return process_ ? process_->processId() : 0; }

QString OfficeViewer::Notice() const { return label_->text(); }

int OfficeViewer::PageCount() const { return document_->pageCount(); }

}  // namespace dravik::preview
