#pragma once
// A page's pane in a scroll area without a frame: the window can then be made
// smaller than the pane (a small screen at a large scale) while the page's
// buttons below it stay in view.

#include <QFrame>
#include <QScrollArea>

namespace dravik::app {

inline QScrollArea* Scrolling(QWidget* pane) {
  auto* area = new QScrollArea;
  area->setWidget(pane);
  area->setWidgetResizable(true);
  area->setFrameShape(QFrame::NoFrame);
  return area;
}

}  // namespace dravik::app
