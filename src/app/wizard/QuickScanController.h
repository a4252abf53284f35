#pragma once
// Quick Scan: the chosen partition's file system read on the worker, and
// its folders and files on the results page.

#include <QObject>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "session/ScanResult.h"

namespace dravik::app {

class Wizard;
struct Session;

class QuickScanController : public QObject {
  Q_OBJECT

 public:
  explicit QuickScanController(Wizard& wizard);

  // The partition page's Scan with the partition at this index of the list.
  void Start(int partitionIndex);

 private:
  void End();
  static QString FoldersNotReadWholeText(const std::vector<std::u16string>& folders);

  Wizard& wizard_;
  Session& session_;
  // The scan's result, handed from the worker to the interface thread when the job ends.
  std::optional<ScanResult> result_;
};

}  // namespace dravik::app
