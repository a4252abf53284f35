#pragma once
// Window and dialog sizes that fit the screen: a small screen at a large
// scale has little room, and a window larger than the screen hides its
// buttons.

#include <QScreen>
#include <QSize>
#include <QWidget>

namespace dravik::app {

// The size wanted, made smaller where the widget's screen has less room
// (leaving some for the frame and a panel), never smaller than its layout
// needs.
inline QSize FitScreen(const QWidget* widget, QSize wanted) {
  if (const QScreen* screen = widget->screen())
    wanted = wanted.boundedTo(screen->availableGeometry().size() - QSize(16, 48));
  return wanted.expandedTo(widget->minimumSizeHint());
}

}  // namespace dravik::app
