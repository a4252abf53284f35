#pragma once
// Page 2: the partitions found, the selected one's information, the sector
// range and file system of an Extensive Scan, and the scan's progress.

#include <QWidget>

#include "app/wizard/PageButtons.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSplitter;
class QTreeWidget;

namespace dravik::app {

class InfoPane;
class ProgressPane;

class PartitionPage : public QWidget {
  Q_OBJECT

 public:
  explicit PartitionPage(QWidget* parent = nullptr);
  QLabel* mode;
  QTreeWidget* partitions;
  InfoPane* info;
  QGroupBox* range;
  QComboBox* fileSystem;
  QLineEdit* startSector;
  QLineEdit* endSector;
  QLabel* hint;
  ProgressPane* progress;
  PageButtons buttons;  // forward: Scan
  QSplitter* splitter;
  void SetBusy(bool busy);
  // The selected partition's index; -1 for none.
  int Selected() const;
};

}  // namespace dravik::app
