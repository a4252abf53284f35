#include "app/wizard/ModeButton.h"

#include <QStyle>

namespace dravik::app {

ModeButton::ModeButton(const QString& caption, QStyle::StandardPixmap icon, QWidget* parent) : QToolButton(parent) {
  setText(caption);
  setIcon(style()->standardIcon(icon));
  setIconSize(QSize(64, 64));
  setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setMinimumSize(150, 150);
  setMaximumSize(240, 220);
  QFont big = font();
  big.setPointSizeF(big.pointSizeF() * 1.25);
  big.setBold(true);
  setFont(big);
  setCursor(Qt::PointingHandCursor);
}

void ModeButton::enterEvent(QEnterEvent* event) {
  QToolButton::enterEvent(event);
  Q_EMIT Hovered(true);
}

void ModeButton::leaveEvent(QEvent* event) {
  QToolButton::leaveEvent(event);
  Q_EMIT Hovered(false);
}

}  // namespace dravik::app
