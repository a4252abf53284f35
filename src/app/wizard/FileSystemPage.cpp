#include "app/wizard/FileSystemPage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/wizard/ProgressPane.h"

namespace dravik::app {

FileSystemPage::FileSystemPage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  mode = new QLabel;
  layout->addWidget(mode);
  hint = new QLabel;
  hint->setWordWrap(true);
  layout->addWidget(hint);
  list = new QTreeWidget;
  list->setRootIsDecorated(false);
  list->setHeaderLabels({tr("File System"), tr("Start Sector"), tr("End Sector"), tr("Cluster Size")});
  list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  layout->addWidget(list, 1);
  progress = new ProgressPane;
  progress->ToggleButton()->hide();
  progress->hide();
  layout->addWidget(progress);
  buttons = PageButtons::AddTo(this, layout, QStyle::SP_ArrowForward, tr("Next"));
}

void FileSystemPage::SetBusy(bool busy) {
  buttons.SetBusy(busy);
  list->setEnabled(!busy);
  progress->setVisible(busy);
}

int FileSystemPage::Selected() const {
  const auto items = list->selectedItems();
  return items.isEmpty() ? 0 : items.front()->data(0, Qt::UserRole).toInt();
}

}  // namespace dravik::app
