#pragma once
// How the disk's capacity is divided among its partitions: a pie of the
// shares with a legend, in the colours of the file systems.

#include <QWidget>
#include <vector>

#include "disk/DriveInfo.h"

namespace dravik::app {

class CapacityChart : public QWidget {
  Q_OBJECT

 public:
  explicit CapacityChart(QWidget* parent = nullptr);
  void SetSlices(std::vector<CapacitySlice> slices);
  const std::vector<CapacitySlice>& Slices() const { return slices_; }
  QSize sizeHint() const override { return {320, 200}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<CapacitySlice> slices_;
};

}  // namespace dravik::app
