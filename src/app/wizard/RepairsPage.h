#pragma once
// Shown between the start page and the drive page when the image's own
// structures were damaged: what that means for the user, and one row per
// repair (the structure, what was wrong with it, what the reader did
// instead). Long texts wrap within their column; each row's whole text is
// also its tooltip. Images without repairs never show it.

#include <QWidget>
#include <vector>

#include "app/wizard/PageButtons.h"
#include "vdisk/DiskImage.h"

class QLabel;
class QTableWidget;

namespace dravik::app {

class RepairsPage : public QWidget {
  Q_OBJECT

 public:
  enum Column { kStructure = 0, kProblem = 1, kAction = 2 };

  explicit RepairsPage(QWidget* parent = nullptr);
  QLabel* mode;
  QLabel* heading;
  QLabel* explanation;
  QTableWidget* list;
  QLabel* hint;
  PageButtons buttons;  // forward: Next

  void SetRepairs(const std::vector<Repair>& repairs);

 private:
  // Row heights follow the column widths, so that wrapped texts show whole.
  void FitRows();
};

}  // namespace dravik::app
