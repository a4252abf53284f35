#pragma once
// One of the start page's three large mode buttons: an icon drawn for the
// mode above its caption; it tells when the pointer enters and leaves it so
// that the page can describe the mode.

#include <QStyle>
#include <QToolButton>

namespace dravik::app {

class ModeButton : public QToolButton {
  Q_OBJECT

 public:
  ModeButton(const QString& caption, QStyle::StandardPixmap icon, QWidget* parent = nullptr);

 Q_SIGNALS:
  void Hovered(bool inside);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
};

}  // namespace dravik::app
