#include "app/wizard/RepairsPage.h"

#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/AppTexts.h"

namespace dravik::app {

RepairsPage::RepairsPage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  mode = new QLabel;
  layout->addWidget(mode);
  heading = new QLabel(AppTexts::kDamagedHeading);
  QFont big = heading->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  heading->setFont(big);
  layout->addWidget(heading);
  explanation = new QLabel(AppTexts::kDamagedExplanation);
  explanation->setWordWrap(true);
  layout->addWidget(explanation);

  list = new QTableWidget(0, 3);
  list->setHorizontalHeaderLabels({tr("Structure"), tr("Problem"), tr("What was done")});
  list->verticalHeader()->hide();
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAlternatingRowColors(true);
  list->setWordWrap(true);
  list->setTextElideMode(Qt::ElideNone);
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QHeaderView* header = list->horizontalHeader();
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setSectionResizeMode(kStructure, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(kProblem, QHeaderView::Stretch);
  header->setSectionResizeMode(kAction, QHeaderView::Stretch);
  connect(header, &QHeaderView::sectionResized, this, &RepairsPage::FitRows);
  layout->addWidget(list, 1);

  hint = new QLabel(AppTexts::kDamagedHint);
  hint->setWordWrap(true);
  layout->addWidget(hint);
  buttons = PageButtons::AddTo(this, layout, QStyle::SP_ArrowForward, tr("Next"));
}

void RepairsPage::SetRepairs(const std::vector<Repair>& repairs) {
  list->clearContents();
  list->setRowCount(static_cast<int>(repairs.size()));
  for (int row = 0; row < list->rowCount(); ++row) {
    const Repair& repair = repairs[static_cast<std::size_t>(row)];
    const QString whole = QString::fromStdString(repair.Text());
    int column = kStructure;
    for (const std::string* text : {&repair.structure, &repair.problem, &repair.action}) {
      auto* item = new QTableWidgetItem(QString::fromStdString(*text));
      item->setToolTip(whole);
      item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      list->setItem(row, column++, item);
    }
  }
  FitRows();
}

void RepairsPage::FitRows() {
  list->resizeRowsToContents();
  // Some air around the texts, so that the rows do not run together.
  const int air = list->fontMetrics().lineSpacing() / 2;
  for (int row = 0; row < list->rowCount(); ++row) list->setRowHeight(row, list->rowHeight(row) + air);
}

}  // namespace dravik::app
