#pragma once
// The row of buttons along the foot of the drive, partition and
// file-system pages: Home at the left; Stop, Back and the page's forward
// button (Next or Scan) at the right. While the page's work runs only Stop
// shows.

#include <QBoxLayout>
#include <QPushButton>
#include <QStyle>

namespace dravik::app {

struct PageButtons {
  QPushButton* home = nullptr;
  QPushButton* back = nullptr;
  QPushButton* stop = nullptr;
  QPushButton* forward = nullptr;

  // Makes the buttons of page and adds their row to layout; Stop is hidden.
  static PageButtons AddTo(QWidget* page, QBoxLayout* layout, QStyle::StandardPixmap forwardIcon,
                           const QString& forwardText);
  void SetBusy(bool busy) const;
};

}  // namespace dravik::app
