#pragma once
// Runs one save of the checked items on a thread of its own and shows which
// file is written and how far it has got: file N of the M to save, bytes
// written of the checked total, the time spent and the time left. Stop Saving asks first (the save
// waits at its next block while the question is open); Skip File ends the
// file being written; the window does not close while the save runs. At the
// end it says plainly how the save went: success only when every file was
// written whole and at least one was written, otherwise what was saved (also
// after a stop) with the list of every file that is not whole.

#include <QDialog>
#include <QElapsedTimer>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "app/Messenger.h"
#include "save/SaveControl.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace dravik::app {

struct Session;

class SaveProgressDialog : public QDialog {
  Q_OBJECT

 public:
  SaveProgressDialog(Session& session, const Messenger& messenger, QWidget* parent = nullptr);
  ~SaveProgressDialog() override;
  // Saves only the files at these indexes of the store's file list, flat
  // into the destination, instead of what the tree has checked.
  void SaveOnly(std::vector<std::size_t> records) { records_ = std::move(records); }
  // Starts the save when the dialog is shown; returns when it has closed.
  int exec() override;
  const std::optional<SaveSummary>& Summary() const { return summary_; }
  bool Stopped() const { return stopped_; }
  QPushButton* StopButton() const { return stop_; }
  // "File N of M", and the bytes written of the total ("3.2 MB of 12.5 MB").
  QString FilesText() const;
  QString BytesText() const;
  QPushButton* SkipButton() const { return skip_; }

  // Called on the save's thread with every progress report, before the save
  // goes on from it: a fixed point of the save at which a test can act
  // (through a blocking call into the dialog's thread).
  std::function<void(const SaveProgress&)> onProgress;

  // The text shown at the end of a save; stopped: the user stopped it.
  static QString SummaryText(const SaveSummary& summary, bool stopped);
  // One line for every file that is not whole and every folder not made.
  static QStringList ReportLines(const SaveSummary& summary);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void Receive(const SaveProgress& progress);
  void Deliver();
  void OnStop();
  void Finish();
  void Hold(bool held);
  // How many files the save is to write and how many bytes they hold (0
  // when not known ahead, as for carved files).
  void CountWhatIsToBeSaved();

  Session& session_;
  const Messenger& messenger_;
  QLabel* path_;
  QLabel* name_;
  QLabel* total_;
  QLabel* files_;
  QLabel* bytes_;
  QLabel* elapsed_;
  QLabel* left_;
  QProgressBar* bar_;
  QElapsedTimer clock_;
  std::uint64_t filesToSave_ = 0;
  std::uint64_t bytesToSave_ = 0;
  QPushButton* stop_;
  QPushButton* skip_;
  SaveControl control_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  bool stopped_ = false;
  bool closing_ = false;
  std::optional<SaveSummary> summary_;
  std::optional<std::vector<std::size_t>> records_;

  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  bool pending_ = false;
  SaveProgress latest_;
};

}  // namespace dravik::app
