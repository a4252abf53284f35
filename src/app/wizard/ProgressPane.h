#pragma once
// The progress of a scan: a status line, a bar, the counters of the scan
// and the Show/Hide Progress switch with its hint. While the details are
// hidden the counters keep their last values; bar and status still move.

#include <QWidget>
#include <vector>

#include "util/ScanControl.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QGridLayout;

namespace dravik::app {

class ProgressPane : public QWidget {
  Q_OBJECT

 public:
  explicit ProgressPane(QWidget* parent = nullptr);
  void SetLabels(const std::vector<QString>& labels);
  void Reset();
  void SetStatus(const QString& text, int percent);
  // Folders, files, sector, last name, as far as the labels go.
  void SetCounts(const ScanTally& counts);
  bool DetailsShown() const { return shown_; }
  void ShowDetails(bool shown);
  int Percent() const;
  QString Counter(int row) const;
  QPushButton* ToggleButton() const { return toggle_; }

 private:
  QLabel* status_;
  QProgressBar* bar_;
  QGridLayout* grid_;
  std::vector<std::pair<QLabel*, QLabel*>> counters_;
  QPushButton* toggle_;
  bool shown_ = true;
};

}  // namespace dravik::app
