#include "app/results/SaveProgressDialog.h"

#include <QCloseEvent>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/ProgressTimes.h"
#include "app/Session.h"
#include "raw/CarveWriter.h"
#include "save/SaveDriver.h"

namespace dravik::app {

namespace {

QString Files(std::uint32_t count) { return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count); }

// Why a save that wrote no file did not, or empty when it wrote some.
QString NothingSavedText(const SaveSummary& summary) {
  switch (summary.WhyNothingSaved()) {
    case SaveSummary::Nothing::kNo: return {};
    case SaveSummary::Nothing::kFiltered:
      return QStringLiteral("Nothing was saved: none of the %1 checked matches the File Filters.")
          .arg(Files(summary.filteredOut));
    case SaveSummary::Nothing::kSettings:
      return QStringLiteral("Nothing was saved: the Recovery Settings left out all %1 checked "
                            "(deleted files, or names that exist in the folder already).")
          .arg(Files(summary.passedOver));
    case SaveSummary::Nothing::kNoFiles: break;
  }
  return QStringLiteral("Nothing was saved: there was no file to save.");
}

}  // namespace

QString SaveProgressDialog::SummaryText(const SaveSummary& summary, bool stopped) {
  // A file cut short by Skip File is not saved whole, though nothing failed.
  if (!stopped && summary.Succeeded()) return AppTexts::kSavedSuccessfully;
  if (const QString nothing = NothingSavedText(summary); !stopped && !nothing.isEmpty()) return nothing;
  QString text = stopped ? QStringLiteral("Saving was stopped.\n\n%1 saved whole.").arg(Files(summary.saved))
                         : QStringLiteral("Not every file could be saved.\n\n%1 saved whole.").arg(Files(summary.saved));
  if (summary.interrupted > 0)
    text += QStringLiteral("\n%1 skipped or stopped part way (kept as NAME.partial).").arg(Files(summary.interrupted));
  if (summary.failed > 0) text += QStringLiteral("\n%1 could not be written.").arg(Files(summary.failed));
  if (summary.incomplete > 0)
    text += QStringLiteral("\n%1 saved with parts the image could not give (written as zeros).").arg(Files(summary.incomplete));
  if (summary.failedReads > 0) text += QStringLiteral("\n%1 sectors could not be read.").arg(summary.failedReads);
  if (summary.filteredOut > 0) text += QStringLiteral("\n%1 left out by the File Filters.").arg(Files(summary.filteredOut));
  return text;
}

QStringList SaveProgressDialog::ReportLines(const SaveSummary& summary) {
  QStringList lines;
  lines.reserve(qsizetype(summary.failures.size()));
  for (const SaveFailure& failure : summary.failures) lines << QString::fromStdString(failure.ReportLine());
  return lines;
}

SaveProgressDialog::SaveProgressDialog(Session& session, const Messenger& messenger, QWidget* parent)
    : QDialog(parent), session_(session), messenger_(messenger),
      control_([this](const SaveProgress& progress) { Receive(progress); }) {
  setWindowTitle(AppTexts::kSaveTitle);
  setModal(true);
  setMinimumWidth(520);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  path_ = new QLabel;
  path_->setWordWrap(true);
  path_->setTextFormat(Qt::PlainText);
  name_ = new QLabel;
  name_->setTextFormat(Qt::PlainText);
  total_ = new QLabel(QStringLiteral("0"));
  files_ = new QLabel;
  bytes_ = new QLabel;
  elapsed_ = new QLabel;
  left_ = new QLabel;
  form->addRow(tr("Path:"), path_);
  form->addRow(tr("File Name:"), name_);
  form->addRow(tr("Total Files:"), total_);
  form->addRow(tr("Progress:"), files_);
  form->addRow(tr("Written:"), bytes_);
  form->addRow(tr("Elapsed Time:"), elapsed_);
  form->addRow(tr("Time Left:"), left_);
  layout->addLayout(form);
  bar_ = new QProgressBar;
  bar_->setRange(0, 100);
  bar_->setFormat(QStringLiteral("%p%"));
  layout->addWidget(bar_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  skip_ = new QPushButton(AppTexts::kSkipFile);
  skip_->setToolTip(AppTexts::kSkipFileTip);
  stop_ = new QPushButton(AppTexts::kStopSaving);
  stop_->setToolTip(AppTexts::kStopSavingTip);
  // Enter left over from the question that started the save must not cut a file short.
  for (QPushButton* button : {skip_, stop_}) button->setAutoDefault(false);
  buttons->addWidget(skip_);
  buttons->addWidget(stop_);
  layout->addLayout(buttons);
  connect(skip_, &QPushButton::clicked, this, [this] { control_.SkipCurrentFile(); });
  connect(stop_, &QPushButton::clicked, this, &SaveProgressDialog::OnStop);
}

SaveProgressDialog::~SaveProgressDialog() {
  control_.RequestStop();
  Hold(false);
  if (thread_.joinable()) thread_.join();
}

void SaveProgressDialog::CountWhatIsToBeSaved() {
  const Session& s = session_;
  if (s.traceTree) {
    filesToSave_ = s.traceTree->Checked().size();
  } else if (records_) {
    const std::vector<FileRecord>& files = s.Store().Files();
    for (const std::size_t record : *records_) {
      if (record >= files.size()) continue;
      const FileRecord& file = files[record];
      if (LeftOutBySettings(s.settings, s.filter, file.name, file.deleted) != LeftOut::kNo) continue;
      ++filesToSave_;
      bytesToSave_ += file.size;
    }
  } else {
    const SelectedFiles selected = CountSelected(s.Store(), *s.Tree(), s.settings, s.filter);
    filesToSave_ = selected.files;
    bytesToSave_ = selected.bytes;
  }
}

QString SaveProgressDialog::FilesText() const { return files_->text(); }
QString SaveProgressDialog::BytesText() const { return bytes_->text(); }

int SaveProgressDialog::exec() {
  CountWhatIsToBeSaved();
  clock_.start();
  Deliver();
  // The save runs with the session as it stands; the dialog is modal, so
  // nothing changes the tree or the settings meanwhile.
  thread_ = std::thread([this] {
    Session& s = session_;
    const SaveContext context{s.reader, s.params, s.settings, s.filter, control_, s.lastImage};
    SaveSummary summary =
        s.traceTree ? SaveCarvedFiles(context, s.traced, s.traceTree->Checked(), s.traceChoice.carveSizeMiB, s.destination)
        : records_  ? SaveCheckedList(context, s.Store(), s.Tree()->Family(), *records_, s.destination)
                    : SaveCheckedTree(context, s.Store(), *s.Tree(), s.destination);
    QMetaObject::invokeMethod(this, [this, summary = std::move(summary)] {
      summary_ = summary;
      Finish();
    }, Qt::QueuedConnection);
    done_ = true;
  });
  return QDialog::exec();
}

// The save's own thread: the latest progress is kept and one delivery at a
// time is queued. While a question is open the save waits here, between
// two blocks.
void SaveProgressDialog::Receive(const SaveProgress& progress) {
  if (onProgress) onProgress(progress);
  std::unique_lock lock(mutex_);
  latest_ = progress;
  if (!pending_) {
    pending_ = true;
    QMetaObject::invokeMethod(this, [this] { Deliver(); }, Qt::QueuedConnection);
  }
  released_.wait(lock, [this] { return !held_; });
}

void SaveProgressDialog::Deliver() {
  SaveProgress progress;
  {
    std::lock_guard lock(mutex_);
    pending_ = false;
    progress = latest_;
  }
  path_->setText(QString::fromStdString(progress.path.string()));
  name_->setText(QString::fromStdU16String(progress.fileName));
  total_->setText(QString::number(progress.totalFiles));
  bar_->setValue(progress.percent);
  files_->setText(tr("File %1 of %2").arg(progress.totalFiles).arg(filesToSave_));
  const QLocale locale;
  const auto size = [&](std::uint64_t bytes) {
    return locale.formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeTraditionalFormat);
  };
  bytes_->setText(bytesToSave_ > 0 ? tr("%1 of %2").arg(size(progress.bytesDone), size(bytesToSave_))
                                   : size(progress.bytesDone));
  const qint64 elapsed = clock_.elapsed();
  elapsed_->setText(ClockText(elapsed));
  const double done = bytesToSave_ > 0 ? static_cast<double>(progress.bytesDone) / static_cast<double>(bytesToSave_)
                      : filesToSave_ > 0 ? static_cast<double>(progress.totalFiles) / static_cast<double>(filesToSave_)
                                         : 0;
  const auto left = TimeLeft(elapsed, done);
  left_->setText(left ? ClockText(*left) : QString());
}

void SaveProgressDialog::Hold(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  if (!held) released_.notify_all();
}

void SaveProgressDialog::OnStop() {
  if (control_.StopRequested()) return;
  Hold(true);
  const bool yes = messenger_.Ask(AppTexts::kStopSavingQuestion);
  if (yes) {
    stop_->setEnabled(false);
    control_.RequestStop();
    stopped_ = true;
  }
  Hold(false);
}

void SaveProgressDialog::Finish() {
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(mutex_);
    latest_.bytesDone = control_.BytesOfFilesBegun();
  }
  Deliver();
  if (summary_) {
    stop_->setEnabled(false);
    skip_->setEnabled(false);
    const QString text = SummaryText(*summary_, stopped_);
    if (text == AppTexts::kSavedSuccessfully) bar_->setValue(100);
    // What the user asked for (a skip, a stop) is told as information;
    // files that could not be written or read, and a save that wrote
    // nothing, as an error.
    const bool wroteSome = summary_->saved + summary_->interrupted > 0 || stopped_;
    const bool information = summary_->NothingFailed() && wroteSome;
    messenger_.Report(text, information ? MessageKind::kInformation : MessageKind::kError, ReportLines(*summary_),
                      QFile::decodeName(session_.destination.string().c_str()));
  }
  closing_ = true;
  accept();
}

void SaveProgressDialog::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  event->ignore();
  Hold(true);
  messenger_.Show(AppTexts::kStopSavingFirst, MessageKind::kInformation);
  Hold(false);
}

void SaveProgressDialog::reject() {
  if (closing_) {
    QDialog::reject();
    return;
  }
  Hold(true);
  messenger_.Show(AppTexts::kStopSavingFirst, MessageKind::kInformation);
  Hold(false);
}

}  // namespace dravik::app
