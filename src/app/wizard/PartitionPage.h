#pragma once
// Page 2: the partitions found, the selected one's information, the sector
// range and file system of an Extensive Scan, and the scan's progress.

#include <QWidget>
#include <cstdint>

#include "app/wizard/PageButtons.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
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
  // Limits the range fields to the disk: a start below sectors, an end up to
  // sectors (the search stops before the end sector); a larger number cannot
  // be typed or pasted.
  void SetDiskSectors(std::uint64_t sectors);
  // The selected partition's index; -1 for none.
  int Selected() const;

 private:
  QScrollArea* paneScroll_;
};

}  // namespace dravik::app
