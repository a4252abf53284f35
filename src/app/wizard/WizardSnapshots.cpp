// The wizard's snapshots: the results shown written into a ".dvsf" file,
// and a file read back into the results page, over the image opened or
// with the image asked for when files are to be saved.

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <ctime>

#include "app/AppTexts.h"
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

bool Wizard::CanSaveSnapshot() const {
  return session_.ResultsAvailable() && currentIndex() == kResults && !Busy();
}

SnapshotInfo Wizard::CurrentSnapshotInfo() const {
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

bool Wizard::SaveSnapshot() {
  if (!CanSaveSnapshot()) return false;
  const std::filesystem::path image = session_.lastImage.empty() ? std::string("snapshot") : session_.lastImage;
  const QString suggested = QString::fromStdString(DefaultSnapshotName(image, session_.mode, LocalNow()));
  const QString chosen = chooseSnapshotToSave(suggested);
  if (chosen.isEmpty()) return false;
  const std::filesystem::path path = WithSnapshotExtension(NativePath(chosen));
  if (std::filesystem::exists(path) && !messenger_.Ask(QString::fromStdString(ReplaceQuestion(path)))) return false;
  const bool trace = session_.traceTree.has_value();
  const auto bytes = trace ? EncodeTraceSnapshot(CurrentSnapshotInfo(), session_.traceChoice.groups, session_.traced)
                           : EncodeFileSystemSnapshot(CurrentSnapshotInfo(), session_.Store());
  if (WriteSnapshotFile(path, bytes) != 0) {
    messenger_.Show(trace ? SnapshotTexts::kCannotOpenTrace : SnapshotTexts::kCannotOpen, MessageKind::kError);
    return false;
  }
  Q_EMIT SnapshotUsed(QFile::decodeName(QByteArray::fromStdString(path.string())));
  return true;
}

void Wizard::LoadSnapshot() {
  if (!CanLoadSnapshot()) return;
  const QString chosen = chooseSnapshotToLoad();
  if (!chosen.isEmpty()) ShowSnapshot(chosen, session_.mode);
}

bool Wizard::OpenSnapshot(const QString& path) {
  if (currentIndex() != kStart || Busy()) return false;
  // An image left open from before need not be the snapshot's: it is asked for when needed.
  session_.disk.Close();
  session_.lastImage.clear();
  return ShowSnapshot(path, std::nullopt);
}

bool Wizard::ShowSnapshot(const QString& path, std::optional<ScanMode> expected) {
  LoadedSnapshot loaded = LoadSnapshotFile(NativePath(path), expected);
  if (!loaded.snapshot) {
    messenger_.Show(QString::fromStdString(loaded.message), MessageKind::kError);
    return false;
  }
  Snapshot& snapshot = *loaded.snapshot;
  if (session_.ImageOpen() && !SnapshotFitsDisk(snapshot, session_.reader)) {
    messenger_.Show(SnapshotTexts::kMismatch, MessageKind::kError);
    return false;
  }
  session_.FreeResults();
  session_.mode = snapshot.info.mode;
  session_.params = snapshot.info.params;
  session_.snapshot = snapshot.info;
  session_.scanStarted = false;
  ModeText(session_.ImageOpen());
  if (session_.mode == ScanMode::kFileTrace) {
    // The carve size is not kept in snapshots: the one chosen last, else the usual 2 MB.
    session_.traceChoice = {std::move(snapshot.groups),
                            session_.lastCarveSizeMiB ? session_.lastCarveSizeMiB : CarveSizeOfEntry(1)};
    session_.traced = std::move(snapshot.tracedFiles);
    session_.traceTree.emplace(TraceTree::Build(session_.traced));
    results->SetTraceResult(&*session_.traceTree);
    ShowPage(kResults);
    Q_EMIT CommandsChanged();
  } else {
    session_.result = ResultOfSnapshot(snapshot);
    ShowResults();
  }
  snapshotPath_ = QFile::decodeName(QByteArray::fromStdString(WithSnapshotExtension(NativePath(path)).string()));
  Q_EMIT SnapshotUsed(snapshotPath_);
  return true;
}

bool Wizard::EnsureSnapshotImage() {
  if (session_.ImageOpen()) return true;
  messenger_.Show(tr("The files are read from the image the snapshot was made of. Please choose that image."),
                  MessageKind::kInformation);
  const QString chosen = chooseImage();
  if (chosen.isEmpty()) return false;
  // Read as the start page's check box says, or as a raw disk when the user
  // takes that road for a file that does not open as an image.
  OpenRequest request{session_.mode == ScanMode::kQuick, start->asRaw->isChecked()};
  if (!OpenDisk(chosen, request)) return false;
  if (!AcceptChainWarnings()) {
    session_.disk.Close();
    return false;
  }
  if (!SnapshotFitsDisk(*session_.snapshot, session_.Store(), session_.traced, session_.reader)) {
    messenger_.Show(SnapshotTexts::kMismatch, MessageKind::kError);
    session_.disk.Close();
    return false;
  }
  session_.imageKind = session_.disk.CurrentImageKind();
  session_.lastImage = NativePath(chosen).string();
  session_.lastAsRaw = request.asRaw;
  session_.drives = {};
  RegisterImage(session_.drives, session_.disk);
  Q_EMIT ImageOpened(chosen);
  return true;
}

bool Wizard::OfferSnapshot(const char* question) {
  if (!session_.scanStarted || !CanSaveSnapshot()) return true;
  switch (messenger_.AskOrCancel(question)) {
    case kYes: return SaveSnapshot();
    case kNo: return true;
    default: return false;
  }
}

}  // namespace dravik::app
