#pragma once
// A heading above label/value lines, as the drive and partition panes show
// them. Labels arrive with the tabs that lined them up in a fixed font; the
// pane lines them up in a grid instead and shows them without the tabs.

#include <QWidget>
#include <vector>

#include "disk/DriveInfo.h"

class QGridLayout;
class QLabel;

namespace dravik::app {

class InfoPane : public QWidget {
  Q_OBJECT

 public:
  explicit InfoPane(const QString& heading, QWidget* parent = nullptr);
  void SetLines(const std::vector<InfoLine>& lines);
  void SetHeading(const QString& heading);
  // The value shown beside the label (its tabs and colon removed); empty when none.
  QString Value(const QString& label) const;

 private:
  QLabel* heading_;
  QGridLayout* grid_;
  std::vector<std::pair<QLabel*, QLabel*>> rows_;
};

// "Capacity\t\t:" as "Capacity:".
QString PlainLabel(const std::string& label);

}  // namespace dravik::app
