#pragma once
// "Drive Information": the scanned file system's parameters and counts.

#include <QDialog>

#include "disk/DriveInfo.h"

namespace dravik::app {

class DriveInformationDialog : public QDialog {
  Q_OBJECT

 public:
  DriveInformationDialog(const std::vector<InfoLine>& lines, QWidget* parent = nullptr);
};

}  // namespace dravik::app
