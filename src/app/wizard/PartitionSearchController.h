#pragma once
// The road from the drive page to the partition page, the same for every
// mode: the drive's information, the question about its partition table,
// the partition search on the worker, and the partitions it found listed on
// the partition page with the selected one's information.

#include <QObject>

#include "disk/PartitionTable.h"

namespace dravik::app {

class Wizard;
struct Session;

class PartitionSearchController : public QObject {
  Q_OBJECT

 public:
  explicit PartitionSearchController(Wizard& wizard);

  // The drive page's Next: asks how to read the drive's table, then searches it.
  void Start();
  // Shows what the drive page's selected item is.
  void ShowDriveInfo();
  // Shows the selected partition and takes it as the session's choice.
  void ShowPartitionInfo();

 private:
  void End();
  void FillPartitions();
  // On page 2, the partition range of an Extensive Scan starts as the whole disk.
  void ResetScanRange();

  Wizard& wizard_;
  Session& session_;
  // The drive's partitions, the table's and those the search adds, taken
  // into the session when the search ends.
  PartitionTable found_;
};

}  // namespace dravik::app
