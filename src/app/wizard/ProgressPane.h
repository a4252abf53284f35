#pragma once
// The progress of a scan: a status line, a bar, the time the scan has run
// and the time it may still take, the counters of the scan and the
// Show/Hide Progress switch with its hint. While the details are hidden the
// counters keep their last values; bar, times and status still move.

#include <QElapsedTimer>
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
  // Zero counters, and the clock of the times starts again.
  void Reset();
  void SetStatus(const QString& text, int percent);
  // The counters' values in the order of the labels, as far as they go.
  void SetCounts(const std::vector<QString>& values);
  QString ElapsedText() const;
  QString TimeLeftText() const;
  bool DetailsShown() const { return shown_; }
  void ShowDetails(bool shown);
  int Percent() const;
  QString Counter(int row) const;
  QPushButton* ToggleButton() const { return toggle_; }

 private:
  void UpdateTimes();

  QLabel* status_;
  QProgressBar* bar_;
  QLabel* elapsed_;
  QLabel* left_;
  QElapsedTimer clock_;
  QGridLayout* grid_;
  std::vector<std::pair<QLabel*, QLabel*>> counters_;
  QPushButton* toggle_;
  bool shown_ = true;
};

}  // namespace dravik::app
