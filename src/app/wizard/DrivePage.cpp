#include "app/wizard/DrivePage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/wizard/CapacityChart.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/Scrolling.h"

namespace dravik::app {

DrivePage::DrivePage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  mode = new QLabel;
  layout->addWidget(mode);
  splitter = new QSplitter;
  splitter->setObjectName(QStringLiteral("driveSplitter"));
  devices = new QTreeWidget;
  devices->setHeaderHidden(true);
  devices->setMinimumWidth(200);
  splitter->addWidget(devices);
  auto* right = new QWidget;
  auto* pane = new QVBoxLayout(right);
  info = new InfoPane(tr("Drive Information"));
  pane->addWidget(info);
  chart = new CapacityChart;
  pane->addWidget(chart);
  hint = new QLabel(AppTexts::kDriveHint);
  hint->setWordWrap(true);
  pane->addWidget(hint);
  progress = new ProgressPane;
  progress->ToggleButton()->hide();
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
  buttons = PageButtons::AddTo(this, layout, QStyle::SP_ArrowForward, tr("Next"));
  FillDevices(false);
}

void DrivePage::FillDevices(bool withImage) {
  devices->clear();
  auto* computer = new QTreeWidgetItem(devices, {tr("My Computer")});
  computer->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
  physical = new QTreeWidgetItem(computer, {tr("Physical Devices")});
  physical->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
  logical = new QTreeWidgetItem(computer, {tr("Logical Devices")});
  logical->setIcon(0, style()->standardIcon(QStyle::SP_DriveNetIcon));
  image = nullptr;
  if (withImage) {
    image = new QTreeWidgetItem(physical, {QStringLiteral("Virtual Hard Disk 0 ")});
    image->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
  }
  devices->expandAll();
}

void DrivePage::SetBusy(bool busy) {
  buttons.SetBusy(busy);
  devices->setEnabled(!busy);
  progress->setVisible(busy);
  hint->setText(busy ? AppTexts::kPleaseWait : AppTexts::kDriveHint);
}

}  // namespace dravik::app
