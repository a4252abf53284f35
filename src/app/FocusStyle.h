#pragma once
// The program's style: the platform's own, with a ring inside the push or
// tool button that has the keyboard focus. Some styles draw a focused button
// just like the default one, so that a person moving with Tab cannot tell
// which button Space or Return would press.

#include <QProxyStyle>

namespace dravik::app {

class FocusStyle : public QProxyStyle {
  Q_OBJECT

 public:
  using QProxyStyle::QProxyStyle;
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget = nullptr) const override;
  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                          const QWidget* widget = nullptr) const override;
};

// Makes FocusStyle the application's style, over the style in use, once.
void UseFocusStyle();

}  // namespace dravik::app
