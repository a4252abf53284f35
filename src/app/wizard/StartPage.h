#pragma once
// Page 0: the image's path with "Select" and whether to read the file as a
// raw disk, and the three large mode buttons with a description of the one
// under the pointer.

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace dravik::app {

class ModeButton;

class StartPage : public QWidget {
  Q_OBJECT

 public:
  explicit StartPage(QWidget* parent = nullptr);
  QLineEdit* path;
  QPushButton* select;
  QCheckBox* asRaw;
  ModeButton* quick;
  ModeButton* extensive;
  ModeButton* trace;
  QLabel* description;
};

}  // namespace dravik::app
