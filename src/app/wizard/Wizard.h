#pragma once
// The five pages and the road between them: the image and mode on page 0,
// the drive and the partition search on page 1, the partition and the scan
// on page 2, the Extensive Scan's file systems on page 3, the results on
// page 4. An image whose own structures were damaged shows its repairs on a
// page of their own between pages 0 and 1. The wizard opens the image,
// switches pages and asks the questions that would lose work; each mode's
// jobs, saving, snapshots and the preview are run by a controller of their
// own, every job on the one ScanWorker through the JobRunner.

#include <QStackedWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/Messenger.h"
#include "app/Session.h"
#include "app/wizard/JobRunner.h"
#include "app/workers/ScanWorker.h"
#include "disk/PartitionSearch.h"
#include "raw/Catalogue.h"

class QKeyEvent;
class QPushButton;

namespace dravik::app {

class StartPage;
class DrivePage;
class PartitionPage;
class FileSystemPage;
class ResultsPage;
class RepairsPage;
class PartitionSearchController;
class QuickScanController;
class ExtensiveScanController;
class TraceController;
class SaveController;
class SnapshotController;
class PreviewController;

class Wizard : public QStackedWidget {
  Q_OBJECT

 public:
  enum Page { kStart = 0, kDrive = 1, kPartition = 2, kFileSystem = 3, kResults = 4, kRepairs = 5 };

  explicit Wizard(QWidget* parent = nullptr);
  ~Wizard() override;

  Session& session() { return session_; }
  Messenger& messenger() { return messenger_; }
  ScanWorker& worker() { return worker_; }
  JobRunner& jobs() { return *jobs_; }
  TraceController& trace() { return *trace_; }
  SaveController& saving() { return *saving_; }
  SnapshotController& snapshots() { return *snapshots_; }
  PreviewController& preview() { return *preview_; }
  // Choices made in dialogs, replaceable by tests.
  // Asked with the number of partitions the drive's table lists.
  std::function<PartitionChoice(std::size_t listed)> askPartitionChoice;
  std::function<QString()> chooseImage;
  std::function<QString()> chooseDestination;
  // The File Trace types and carve size; none when the choice was cancelled.
  std::function<std::optional<TraceChoice>(std::uint32_t lastCarveSizeMiB)> chooseTraceTypes;
  // The snapshot file to write, offered under a default name; to read.
  std::function<QString(const QString& suggested)> chooseSnapshotToSave;
  std::function<QString()> chooseSnapshotToLoad;
  // The File Trace catalogue (Raw.dat) read when the types are asked for.
  std::filesystem::path cataloguePath;

  StartPage* start;
  DrivePage* drive;
  PartitionPage* partition;
  FileSystemPage* fileSystem;
  ResultsPage* results;
  RepairsPage* repairs;

  void ShowPage(int page);
  int CurrentPage() const { return currentIndex(); }
  bool Busy() const { return jobs_->Busy(); }
  // The folders and files of the session's result, all checked, on the results page.
  void ShowResults();
  // The session's File Trace tree on the results page.
  void ShowTraceResults();
  // "Selected Mode" on every page after the start page, with the drive type
  // once the drive was chosen.
  void ShowModeText(bool withDrive);

  // The page actions, as their buttons and the menus call them.
  void Browse();
  void ChooseMode(ScanMode mode);
  void DriveNext();
  void PartitionScan();
  void FileSystemNext();
  void Stop();
  // Back and Home stay where they are when the user cancels the snapshot question.
  void Back();
  void Home();
  // Puts a path into the start page's box, ready for a mode button; false
  // when the user stays on the results instead.
  bool SetImagePath(const QString& path);
  // Stops a running worker and waits for it (closing the program).
  void StopAndWait();
  // The file the window is about: the snapshot the results shown were read
  // from, else the open image; empty on the start page.
  QString DocumentPath() const;
  // The folder file dialogs start in: that of the snapshot or image in use,
  // else that of the path in the start page's box; empty when none is known.
  QString DialogFolder() const;
  // The forward button (Next or Scan) of the page shown, when it has one
  // that can be pressed now; none on the start and results pages.
  QPushButton* ForwardButton() const;

 Q_SIGNALS:
  void CommandsChanged();
  // An image was opened from the start page's path.
  void ImageOpened(const QString& path);
  // A snapshot was written or read.
  void SnapshotUsed(const QString& path);

 protected:
  // Return and Enter that no control of the page used press its forward button.
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void InstallDialogs();
  void ConnectPages();
  bool OpenImage(bool quick);
  // Whether the open image's structures needed repairs to be read.
  bool HasRepairs() const;
  bool BackFromResults();
  void BackFromFileSystem();
  void BackFromPartition();
  void BackFromDrive();

  Session session_;
  Messenger messenger_;
  ScanWorker worker_;
  std::unique_ptr<JobRunner> jobs_;
  std::unique_ptr<PartitionSearchController> partitionSearch_;
  std::unique_ptr<QuickScanController> quickScan_;
  std::unique_ptr<ExtensiveScanController> extensiveScan_;
  std::unique_ptr<TraceController> trace_;
  std::unique_ptr<SaveController> saving_;
  std::unique_ptr<SnapshotController> snapshots_;
  std::unique_ptr<PreviewController> preview_;
  // The start page's raw check box was ticked by the question after a
  // failed open, not by the user: another path unticks it.
  bool rawFromQuestion_ = false;
};

// The mode's display name.
QString ModeName(ScanMode mode);

}  // namespace dravik::app
