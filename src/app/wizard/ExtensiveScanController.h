#pragma once
// Extensive Scan: the sector range and file system checked, the search on
// the worker, the volumes it found listed on the file system page, and the
// extraction of the chosen one on the worker, whose folders and files go to
// the results page.

#include <QObject>
#include <optional>

#include "fs/extensive/ExtensiveFindings.h"
#include "session/ScanResult.h"

namespace dravik::app {

class Wizard;
struct Session;

class ExtensiveScanController : public QObject {
  Q_OBJECT

 public:
  explicit ExtensiveScanController(Wizard& wizard);

  // The partition page's Scan: searches the range the page gives.
  void StartSearch(int partitionIndex);
  // The file system page's Next: extracts the volume selected.
  void StartExtraction();

 private:
  void EndSearch();
  void ListFoundVolumes();
  void EndExtraction();

  Wizard& wizard_;
  Session& session_;
  // What the search found, taken into the session when it ends.
  ExtensiveFindings found_;
  // The extraction's result, handed from the worker to the interface thread when the job ends.
  std::optional<ScanResult> extracted_;
};

}  // namespace dravik::app
