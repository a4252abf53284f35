#pragma once
// Page 1: the device tree with the opened image, the drive's information
// and the capacity chart.

#include <QWidget>

#include "app/wizard/PageButtons.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QSplitter;

namespace dravik::app {

class CapacityChart;
class InfoPane;
class ProgressPane;

class DrivePage : public QWidget {
  Q_OBJECT

 public:
  explicit DrivePage(QWidget* parent = nullptr);
  QLabel* mode;
  QTreeWidget* devices;
  QTreeWidgetItem* physical = nullptr;
  QTreeWidgetItem* logical = nullptr;
  QTreeWidgetItem* image = nullptr;
  InfoPane* info;
  CapacityChart* chart;
  QLabel* hint;
  ProgressPane* progress;
  PageButtons buttons;  // forward: Next
  QSplitter* splitter;
  // Empties the tree and lists the image as "Virtual Hard Disk 0 ".
  void FillDevices(bool withImage);
  void SetBusy(bool busy);
};

}  // namespace dravik::app
