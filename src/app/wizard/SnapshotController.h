#pragma once
// Snapshots: the results shown written into a ".dvsf" file, and a file read
// back into the results page, over the image opened or with the image asked
// for when files are to be read.

#include <QObject>
#include <QString>
#include <optional>

#include "fs/ScanMode.h"
#include "snapshot/Snapshot.h"

namespace dravik::app {

class Wizard;
struct Session;

class SnapshotController : public QObject {
  Q_OBJECT

 public:
  explicit SnapshotController(Wizard& wizard);

  // Writes the results shown into a snapshot the user names; false when
  // nothing was written.
  bool Save();
  // Loads a snapshot of the chosen mode over the image opened (drive page).
  void Load();
  // Opens a snapshot of any mode from the start page, with no image yet:
  // its image is asked for when files are saved.
  bool Open(const QString& path);
  bool CanSave() const;
  bool CanLoad() const;
  // After a scan of this run, asks whether to keep its results in a
  // snapshot before they are freed. False when the user would rather stay
  // (Cancel, Escape, or Yes and then no snapshot written): the results are
  // kept and the caller goes nowhere.
  bool Offer(const char* question);
  // A snapshot's results read from the image the user chooses, once it
  // proves to be the one the snapshot was made of; true at once when an
  // image is open.
  bool EnsureImage();
  // The snapshot read last (the results are its own while the session's snapshot is set).
  const QString& Path() const { return path_; }

 Q_SIGNALS:
  // A snapshot was written or read.
  void Used(const QString& path);
  // The image a snapshot asked for was opened.
  void ImageOpened(const QString& path);

 private:
  bool Show(const QString& path, std::optional<ScanMode> expected);
  void ShowTraceSnapshot(Snapshot& snapshot);
  SnapshotInfo CurrentInfo() const;

  Wizard& wizard_;
  Session& session_;
  QString path_;
};

}  // namespace dravik::app
