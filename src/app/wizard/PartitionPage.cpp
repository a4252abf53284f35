#include "app/wizard/PartitionPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSplitter>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/wizard/InfoPane.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/Scrolling.h"

namespace dravik::app {

PartitionPage::PartitionPage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  mode = new QLabel;
  layout->addWidget(mode);
  splitter = new QSplitter;
  splitter->setObjectName(QStringLiteral("partitionSplitter"));
  partitions = new QTreeWidget;
  partitions->setHeaderHidden(true);
  partitions->setMinimumWidth(200);
  splitter->addWidget(partitions);
  auto* right = new QWidget;
  auto* pane = new QVBoxLayout(right);
  info = new InfoPane(tr("Partition Information"));
  pane->addWidget(info);
  range = new QGroupBox(tr("Sectors to search"));
  auto* form = new QFormLayout(range);
  fileSystem = new QComboBox;
  fileSystem->addItems({QStringLiteral("NTFS"), QStringLiteral("FAT 32"), QStringLiteral("FAT 16")});
  form->addRow(tr("Select File System:"), fileSystem);
  startSector = new QLineEdit;
  endSector = new QLineEdit;
  form->addRow(tr("Start Sector:"), startSector);
  form->addRow(tr("End Sector:"), endSector);
  pane->addWidget(range);
  hint = new QLabel;
  hint->setWordWrap(true);
  pane->addWidget(hint);
  progress = new ProgressPane;
  progress->hide();
  pane->addWidget(progress);
  pane->addStretch();
  splitter->addWidget(Scrolling(right));
  splitter->setStretchFactor(1, 1);
  const QList<int> splitterSizes{260, 600};
  splitter->setSizes(splitterSizes);
  // Reset Layout sizes it so again.
  splitter->setProperty("builtSizes", QVariant::fromValue(splitterSizes));
  layout->addWidget(splitter, 1);
  buttons = PageButtons::AddTo(this, layout, QStyle::SP_MediaPlay, tr("Scan"));
}

void PartitionPage::SetBusy(bool busy) {
  buttons.SetBusy(busy);
  partitions->setEnabled(!busy);
  range->setEnabled(!busy);
  progress->setVisible(busy);
  hint->setVisible(!busy);
}

int PartitionPage::Selected() const {
  const auto items = partitions->selectedItems();
  if (items.isEmpty()) return -1;
  const QVariant index = items.front()->data(0, Qt::UserRole);
  return index.isValid() ? index.toInt() : -1;
}

}  // namespace dravik::app
