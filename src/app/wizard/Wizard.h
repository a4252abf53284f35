#pragma once
// The five pages and the road between them: the image and mode on page 0,
// the drive and the partition search on page 1, the partition and the scan
// on page 2, the Extensive Scan's file systems on page 3, the results on
// page 4. An image whose own structures were damaged shows its repairs on a
// page of their own between pages 0 and 1. Every scan runs on the one
// ScanWorker; the page that started it polls it once a second for its counts
// and runs its end-of-work step once, after the worker has returned: at the
// poll that finds it so, or at once when the worker says it has returned.

#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/Messenger.h"
#include "app/Session.h"
#include "app/workers/ScanWorker.h"
#include "disk/PartitionSearch.h"
#include "fs/QuickScan.h"
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
class ProgressPane;

class Wizard : public QStackedWidget {
  Q_OBJECT

 public:
  enum Page { kStart = 0, kDrive = 1, kPartition = 2, kFileSystem = 3, kResults = 4, kRepairs = 5 };
  static constexpr int kPollMs = 1000;

  explicit Wizard(QWidget* parent = nullptr);
  ~Wizard() override;

  Session& session() { return session_; }
  Messenger& messenger() { return messenger_; }
  ScanWorker& worker() { return worker_; }
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
  // The catalogue at cataloguePath; none, after saying so, when it is
  // missing or damaged (names no file type).
  std::optional<Catalogue> LoadTraceCatalogue();

  StartPage* start;
  DrivePage* drive;
  PartitionPage* partition;
  FileSystemPage* fileSystem;
  ResultsPage* results;
  RepairsPage* repairs;

  void ShowPage(int page);
  int CurrentPage() const { return currentIndex(); }
  bool Busy() const { return job_ != Job::kNone; }

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
  void Recover();
  void SaveAll();
  // Saves the folder of the tree node (with File Trace, the file type or
  // extension) with everything below it, whatever else is checked; the
  // user's own checks come back afterwards.
  void RecoverFolder(std::size_t node);
  // Saves the files at these indexes of the store's file list (the checked
  // rows of Find File(s)) flat into a folder the user chooses; the result
  // tree's check marks play no part.
  void SaveFound(std::vector<std::size_t> records);
  // Writes the results shown into a snapshot the user names; false when
  // nothing was written.
  bool SaveSnapshot();
  // Loads a snapshot of the chosen mode over the image opened (drive page).
  void LoadSnapshot();
  // Opens a snapshot of any mode from the start page, with no image yet:
  // its image is asked for when files are saved.
  bool OpenSnapshot(const QString& path);
  bool CanLoadSnapshot() const { return currentIndex() == kDrive && !Busy(); }
  bool CanSaveSnapshot() const;
  // Shows the file of a list row in the preview pane, written into the
  // run's private folder first; the same file twice is written once.
  void PreviewRow(int row);
  int PreviewExtractions() const { return previewExtractions_; }
  const QString& LastPreviewPath() const { return lastPreviewPath_; }
  // After a scan of this run, asks whether to keep its results in a
  // snapshot before they are freed. False when the user would rather stay
  // (Cancel, Escape, or Yes and then no snapshot written): the results are
  // kept and the caller goes nowhere.
  bool OfferSnapshot(const char* question);
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
  enum class Job { kNone, kPartitionSearch, kQuickScan, kExtensiveScan, kFileSystemScan, kTraceScan };

  bool OpenImage(bool quick);
  // Opens the file at path as asked. When it cannot be read as an image,
  // says why and offers to read it as a raw disk; request.asRaw then tells
  // how it was read. False when nothing was opened.
  bool OpenDisk(const QString& path, OpenRequest& request);
  // Whether the open image's structures needed repairs to be read.
  bool HasRepairs() const;
  // Asks whether to go on with an image whose parents are missing or do not match.
  bool AcceptChainWarnings();
  void ShowDriveInfo();
  void ShowPartitionInfo();
  void FillPartitions();
  // Starts the job with its counters (labelled) on its page's progress pane.
  void StartJob(Job job, ScanWorker::Job body);
  ProgressPane* PaneOf(Job job) const;
  // The counters of a job, and their values from the worker's tally.
  std::vector<QString> CounterLabels(Job job) const;
  std::vector<QString> CounterValues(const ScanTally& counts) const;
  void Poll();
  void EndPartitionSearch();
  static QString FoldersNotReadWholeText(const std::vector<std::u16string>& folders);
  void EndQuickScan();
  void EndExtensiveScan();
  void EndFileSystemScan();
  void StartTraceScan(int partitionIndex);
  void EndTraceScan();
  void ShowResults();
  // Tells the result views that check states may have changed.
  void RefreshChecks();
  void ModeText(bool withDrive);
  bool BackFromResults();
  void BackFromFileSystem();
  void BackFromPartition();
  void BackFromDrive();
  void RepairsNext();
  void OnProgress(const QString& text, int percent);
  bool ShowSnapshot(const QString& path, std::optional<ScanMode> expected);
  // A snapshot's results read from the image the user chooses, once it
  // proves to be the one the snapshot was made of.
  bool EnsureSnapshotImage();
  SnapshotInfo CurrentSnapshotInfo() const;
  // A free name "tmpN.ext" in the preview folder; empty when it cannot be made.
  QString NextPreviewPath(const QString& extension);
  // Writes the file of the row into path; false when it was not written whole.
  bool ExtractForPreview(int row, const QString& path);
  // Asks for the image of a snapshot and the destination, then runs the
  // save: of what the tree has checked, or only of the records given.
  void RunSave(std::optional<std::vector<std::size_t>> records);

  Session session_;
  Messenger messenger_;
  ScanWorker worker_;
  QTimer poll_;
  Job job_ = Job::kNone;
  // The result of the Quick Scan or the extraction running, handed from the
  // worker to the interface thread when the job ends.
  std::optional<ScanResult> jobResult_;
  bool quickAttempt_ = false;
  bool stopped_ = false;
  // What the File Trace job found, handed to the interface thread when it
  // ends: none when the partition's parameters could not be read.
  struct TraceOutcome {
    FsParams params;
    std::vector<FoundFile> files;
    std::optional<TraceTree> tree;  // over files
    // The hits left out for lying inside a file found before them (the
    // recovery setting), told at the end of the scan.
    std::size_t hitsInside = 0;
  };
  std::optional<TraceOutcome> traceResult_;
  // What the Extensive Scan's search found, taken into the session when it ends.
  ExtensiveFindings searchResult_;
  // The drive's partitions, the table's and those the search adds, taken
  // into the session when the search ends.
  PartitionTable foundPartitions_;
  // The start page's raw check box was ticked by the question after a
  // failed open, not by the user: another path unticks it.
  bool rawFromQuestion_ = false;
  // The preview's private folder (removed at exit), its running number and
  // the file shown last (path in the tree and identifier).
  std::unique_ptr<QTemporaryDir> previewFolder_;
  int previewCounter_ = 0;
  QString lastPreview_;
  std::uint64_t lastPreviewId_ = 0;
  int previewExtractions_ = 0;
  QString lastPreviewPath_;  // the user stopped the job that ran last
  // The snapshot read last (the results are its own while session_.snapshot is set).
  QString snapshotPath_;
};

// The mode's display name.
QString ModeName(ScanMode mode);

}  // namespace dravik::app
