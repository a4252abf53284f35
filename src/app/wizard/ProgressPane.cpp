#include "app/wizard/ProgressPane.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/ProgressTimes.h"
#include "app/wizard/InfoPane.h"

namespace dravik::app {

ProgressPane::ProgressPane(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  status_ = new QLabel;
  status_->setWordWrap(true);
  layout->addWidget(status_);
  bar_ = new QProgressBar;
  bar_->setRange(0, 100);
  // The switch sits beside the bar, not below the counters: on a small
  // screen at a large scale the pane's lower part lies below the fold, and
  // the switch is wanted while the scan runs.
  toggle_ = new QPushButton(AppTexts::kHideProgress);
  auto* barRow = new QHBoxLayout;
  barRow->addWidget(bar_, 1);
  barRow->addWidget(toggle_);
  layout->addLayout(barRow);
  auto* times = new QHBoxLayout;
  elapsed_ = new QLabel;
  left_ = new QLabel;
  times->addWidget(elapsed_);
  times->addSpacing(24);
  times->addWidget(left_);
  times->addStretch();
  layout->addLayout(times);
  clock_.start();
  UpdateTimes();
  grid_ = new QGridLayout;
  grid_->setColumnStretch(1, 1);
  grid_->setHorizontalSpacing(16);
  layout->addLayout(grid_);
  auto* hint = new QLabel(AppTexts::kProgressHint);
  hint->setWordWrap(true);
  hint->setEnabled(false);
  layout->addWidget(hint);
  layout->addStretch();
  connect(toggle_, &QPushButton::clicked, this, [this] { ShowDetails(!shown_); });
}

void ProgressPane::SetLabels(const std::vector<QString>& labels) {
  for (auto& [label, value] : counters_) {
    delete label;
    delete value;
  }
  counters_.clear();
  for (std::size_t i = 0; i < labels.size(); ++i) {
    auto* label = new QLabel(PlainLabel(labels[i].toStdString()));
    auto* value = new QLabel(QStringLiteral("0"));
    value->setTextFormat(Qt::PlainText);
    grid_->addWidget(label, static_cast<int>(i), 0);
    grid_->addWidget(value, static_cast<int>(i), 1);
    counters_.emplace_back(label, value);
  }
}

void ProgressPane::Reset() {
  status_->clear();
  bar_->setValue(0);
  for (auto& [label, value] : counters_) value->setText(QStringLiteral("0"));
  ShowDetails(true);
  clock_.restart();
  UpdateTimes();
}

QString ProgressPane::ElapsedText() const { return ClockText(clock_.elapsed()); }

QString ProgressPane::TimeLeftText() const {
  const auto left = TimeLeft(clock_.elapsed(), bar_->value() / 100.0);
  return left ? ClockText(*left) : QString();
}

void ProgressPane::UpdateTimes() {
  elapsed_->setText(tr("Elapsed Time : %1").arg(ElapsedText()));
  const QString left = TimeLeftText();
  left_->setText(left.isEmpty() ? QString() : tr("Time Left : %1").arg(left));
}

void ProgressPane::SetStatus(const QString& text, int percent) {
  // Progress counters in the status line ("Reading Sector ...") are details.
  if (!text.isEmpty() && (shown_ || !text.startsWith(QStringLiteral("Reading Sector ")))) status_->setText(text);
  if (percent >= 0) bar_->setValue(std::min(percent, 99));
  UpdateTimes();
}

void ProgressPane::SetCounts(const std::vector<QString>& values) {
  UpdateTimes();
  if (!shown_) return;
  for (std::size_t i = 0; i < counters_.size() && i < values.size(); ++i) counters_[i].second->setText(values[i]);
}

void ProgressPane::ShowDetails(bool shown) {
  shown_ = shown;
  toggle_->setText(shown ? AppTexts::kHideProgress : AppTexts::kShowProgress);
}

int ProgressPane::Percent() const { return bar_->value(); }

QString ProgressPane::Counter(int row) const {
  return row >= 0 && static_cast<std::size_t>(row) < counters_.size() ? counters_[static_cast<std::size_t>(row)].second->text()
                                                                     : QString();
}

}  // namespace dravik::app
