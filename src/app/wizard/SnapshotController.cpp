#include "app/wizard/SnapshotController.h"

#include <QCheckBox>
#include <QFile>
#include <ctime>

#include "app/AppTexts.h"
#include "app/wizard/ImageOpening.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"
#include "disk/DriveTable.h"
#include "snapshot/SnapshotFile.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {

namespace {

std::filesystem::path NativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

SnapshotController::SnapshotController(Wizard& wizard)
    : wizard_(wizard), session_(wizard.session()) {}

bool SnapshotController::CanSave() const {
  return session_.ResultsAvailable() && wizard_.CurrentPage() == Wizard::kResults && !wizard_.Busy();
}

bool SnapshotController::CanLoad() const { return wizard_.CurrentPage() == Wizard::kDrive && !wizard_.Busy(); }

SnapshotInfo SnapshotController::CurrentInfo() const {
  if (session_.snapshot) return *session_.snapshot;
  SnapshotInfo info;
  info.mode = session_.mode;
  info.params = session_.params;
  info.source = {0, static_cast<std::uint16_t>(DeviceKind::kDisk)};
  const auto& entries = session_.partitions.Entries();
  if (session_.selectedPartition >= 0 && static_cast<std::size_t>(session_.selectedPartition) < entries.size() &&
      session_.mode != ScanMode::kExtensive)
    info.partition = {entries[static_cast<std::size_t>(session_.selectedPartition)].code,
                      static_cast<std::uint16_t>(session_.selectedPartition)};
  else
    info.partition = {session_.params.fsType, 0};
  return info;
}

bool SnapshotController::Save() {
  if (!CanSave()) return false;
  Messenger& messenger = wizard_.messenger();
  const std::filesystem::path image = session_.lastImage.empty() ? std::string("snapshot") : session_.lastImage;
  const QString suggested = QString::fromStdString(DefaultSnapshotName(image, session_.mode, LocalNow()));
  const QString chosen = wizard_.chooseSnapshotToSave(suggested);
  if (chosen.isEmpty()) return false;
  const std::filesystem::path path = WithSnapshotExtension(NativePath(chosen));
  if (std::filesystem::exists(path) && !messenger.Ask(QString::fromStdString(ReplaceQuestion(path)))) return false;
  const bool trace = session_.traceTree.has_value();
  const auto bytes = trace ? EncodeTraceSnapshot(CurrentInfo(), session_.traceChoice.groups, session_.traced)
                           : EncodeFileSystemSnapshot(CurrentInfo(), session_.Store());
  if (WriteSnapshotFile(path, bytes) != 0) {
    messenger.Show(trace ? SnapshotTexts::kCannotOpenTrace : SnapshotTexts::kCannotOpen, MessageKind::kError);
    return false;
  }
  Q_EMIT Used(QFile::decodeName(QByteArray::fromStdString(path.string())));
  return true;
}

void SnapshotController::Load() {
  if (!CanLoad()) return;
  const QString chosen = wizard_.chooseSnapshotToLoad();
  if (!chosen.isEmpty()) Show(chosen, session_.mode);
}

bool SnapshotController::Open(const QString& path) {
  if (wizard_.CurrentPage() != Wizard::kStart || wizard_.Busy()) return false;
  // An image left open from before need not be the snapshot's: it is asked for when needed.
  session_.disk.Close();
  session_.lastImage.clear();
  return Show(path, std::nullopt);
}

bool SnapshotController::Show(const QString& path, std::optional<ScanMode> expected) {
  Messenger& messenger = wizard_.messenger();
  LoadedSnapshot loaded = LoadSnapshotFile(NativePath(path), expected);
  if (!loaded.snapshot) {
    messenger.Show(QString::fromStdString(loaded.message), MessageKind::kError);
    return false;
  }
  Snapshot& snapshot = *loaded.snapshot;
  if (session_.ImageOpen() && !SnapshotFitsDisk(snapshot, session_.reader)) {
    messenger.Show(SnapshotTexts::kMismatch, MessageKind::kError);
    return false;
  }
  session_.FreeResults();
  session_.mode = snapshot.info.mode;
  session_.params = snapshot.info.params;
  session_.snapshot = snapshot.info;
  session_.scanStarted = false;
  wizard_.ShowModeText(session_.ImageOpen());
  if (session_.mode == ScanMode::kFileTrace) {
    ShowTraceSnapshot(snapshot);
  } else {
    session_.result = ResultOfSnapshot(snapshot);
    wizard_.ShowResults();
  }
  path_ = QFile::decodeName(QByteArray::fromStdString(WithSnapshotExtension(NativePath(path)).string()));
  Q_EMIT Used(path_);
  return true;
}

void SnapshotController::ShowTraceSnapshot(Snapshot& snapshot) {
  // The carve size is not kept in snapshots: the one chosen last, else the usual 2 MB.
  session_.traceChoice = {std::move(snapshot.groups),
                          session_.lastCarveSizeMiB ? session_.lastCarveSizeMiB : CarveSizeOfEntry(1)};
  session_.traced = std::move(snapshot.tracedFiles);
  session_.traceTree.emplace(TraceTree::Build(session_.traced));
  wizard_.ShowTraceResults();
}

bool SnapshotController::EnsureImage() {
  if (session_.ImageOpen()) return true;
  Messenger& messenger = wizard_.messenger();
  messenger.Show(tr("The files are read from the image the snapshot was made of. Please choose that image."),
                 MessageKind::kInformation);
  const QString chosen = wizard_.chooseImage();
  if (chosen.isEmpty()) return false;
  // Read as the start page's check box says, or as a raw disk when the user
  // takes that road for a file that does not open as an image.
  OpenRequest request{session_.mode == ScanMode::kQuick, wizard_.start->asRaw->isChecked()};
  if (!OpenDisk(session_, messenger, chosen, request)) return false;
  if (!AcceptChainWarnings(session_, messenger)) {
    session_.disk.Close();
    return false;
  }
  if (!SnapshotFitsDisk(*session_.snapshot, session_.Store(), session_.traced, session_.reader)) {
    messenger.Show(SnapshotTexts::kMismatch, MessageKind::kError);
    session_.disk.Close();
    return false;
  }
  TakeOpenedImage(session_, chosen, request.asRaw);
  Q_EMIT ImageOpened(chosen);
  return true;
}

bool SnapshotController::Offer(const char* question) {
  if (!session_.scanStarted || !CanSave()) return true;
  switch (wizard_.messenger().AskOrCancel(question)) {
    case kYes: return Save();
    case kNo: return true;
    default: return false;
  }
}

}  // namespace dravik::app
