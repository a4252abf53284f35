#include "app/FocusStyle.h"

#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

namespace dravik::app {

namespace {

// Focus that came from the keyboard: a click gives a button the focus too,
// and a ring after every click would only be noise.
bool KeyboardFocus(const QStyleOption* option) {
  return (option->state & QStyle::State_HasFocus) && (option->state & QStyle::State_KeyboardFocusChange) &&
         (option->state & QStyle::State_Enabled);
}

void DrawRing(const QStyleOption* option, QPainter* painter) {
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  QPen pen(option->palette.color(QPalette::Highlight));
  pen.setWidthF(2.0);
  painter->setPen(pen);
  painter->setBrush(Qt::NoBrush);
  painter->drawRoundedRect(QRectF(option->rect).adjusted(3, 3, -3, -3), 2, 2);
  painter->restore();
}

}  // namespace

void FocusStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                             const QWidget* widget) const {
  QProxyStyle::drawControl(element, option, painter, widget);
  if (element == CE_PushButton && KeyboardFocus(option)) DrawRing(option, painter);
}

void FocusStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                                    const QWidget* widget) const {
  QProxyStyle::drawComplexControl(control, option, painter, widget);
  if (control == CC_ToolButton && KeyboardFocus(option)) DrawRing(option, painter);
}

void UseFocusStyle() {
  if (qobject_cast<FocusStyle*>(QApplication::style())) return;
  // A proxy over a fresh copy of the style in use (the proxy owns its base).
  QStyle* base = QStyleFactory::create(QApplication::style()->name());
  if (!base) return;  // a style that cannot be made again is left as it is
  QApplication::setStyle(new FocusStyle(base));
}

}  // namespace dravik::app
