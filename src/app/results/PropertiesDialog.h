#pragma once
// "File/Folder Properties": name, size, what a folder holds and the two
// times of a listed item.

#include <QDialog>

#include "fs/ItemProperties.h"

namespace dravik::app {

class PropertiesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PropertiesDialog(const ItemProperties& properties, QWidget* parent = nullptr);
};

}  // namespace dravik::app
