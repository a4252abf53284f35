#include "app/wizard/InfoPane.h"

#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace dravik::app {

QString PlainLabel(const std::string& label) {
  QString text = QString::fromStdString(label);
  text.remove(QLatin1Char('\t'));
  if (text.endsWith(QLatin1Char(':'))) text.chop(1);
  return text.trimmed() + QLatin1Char(':');
}

InfoPane::InfoPane(const QString& heading, QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  heading_ = new QLabel(heading);
  QFont bold = heading_->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.15);
  heading_->setFont(bold);
  layout->addWidget(heading_);
  heading_->setVisible(!heading.isEmpty());
  grid_ = new QGridLayout;
  grid_->setColumnStretch(1, 1);
  grid_->setHorizontalSpacing(16);
  layout->addLayout(grid_);
  layout->addStretch();
}

void InfoPane::SetHeading(const QString& heading) {
  heading_->setText(heading);
  heading_->setVisible(!heading.isEmpty());
}

void InfoPane::SetLines(const std::vector<InfoLine>& lines) {
  for (auto& [label, value] : rows_) {
    delete label;
    delete value;
  }
  rows_.clear();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto* label = new QLabel(PlainLabel(lines[i].label));
    auto* value = new QLabel(QString::fromStdString(lines[i].value).trimmed());
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid_->addWidget(label, static_cast<int>(i), 0);
    grid_->addWidget(value, static_cast<int>(i), 1);
    rows_.emplace_back(label, value);
  }
}

QString InfoPane::Value(const QString& label) const {
  for (const auto& [l, v] : rows_)
    if (l->text() == label) return v->text();
  return {};
}

}  // namespace dravik::app
