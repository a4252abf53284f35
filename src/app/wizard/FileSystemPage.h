#pragma once
// Page 3 (Extensive Scan): the file systems the sector search revealed;
// Next extracts the selected one.

#include <QWidget>

#include "app/wizard/PageButtons.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace dravik::app {

class ProgressPane;

class FileSystemPage : public QWidget {
  Q_OBJECT

 public:
  explicit FileSystemPage(QWidget* parent = nullptr);
  QLabel* mode;
  QTreeWidget* list;
  QLabel* hint;
  ProgressPane* progress;
  PageButtons buttons;  // forward: Next
  void SetBusy(bool busy);
  // The selected file system's number (from 1); 0 for none.
  int Selected() const;
};

}  // namespace dravik::app
