#pragma once
// "Partition Type": asked on the way to the partition list when the drive
// holds a partition table. The table's partitions are used as they are, or
// the disk is searched for partitions by their boot sectors (for a table
// that misses a partition or lists one wrongly); what the search finds is
// added to what the table lists. Cancel stays on the drive page.

#include <QDialog>

#include "disk/PartitionSearch.h"

class QRadioButton;

namespace dravik::app {

class PartitionTypeDialog : public QDialog {
  Q_OBJECT

 public:
  // listed: how many partitions the table lists.
  explicit PartitionTypeDialog(std::size_t listed, QWidget* parent = nullptr);
  // The choice the dialog's buttons stand for now (kCancel once rejected).
  PartitionChoice Choice() const;
  QRadioButton* useTable;
  QRadioButton* search;
};

// Shows the dialog and returns the user's answer.
PartitionChoice AskPartitionType(std::size_t listed, QWidget* parent);

}  // namespace dravik::app
