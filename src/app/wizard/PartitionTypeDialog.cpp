#include "app/wizard/PartitionTypeDialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace dravik::app {

PartitionTypeDialog::PartitionTypeDialog(std::size_t listed, QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Partition Type"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(listed == 1 ? tr("The drive's partition table lists 1 partition.")
                                       : tr("The drive's partition table lists %1 partitions.").arg(listed));
  intro->setWordWrap(true);
  layout->addWidget(intro);
  useTable = new QRadioButton(tr("&Use the partition table"));
  search = new QRadioButton(tr("&Search the disk for partitions"));
  auto* group = new QButtonGroup(this);
  group->addButton(useTable);
  group->addButton(search);
  useTable->setChecked(true);
  layout->addWidget(useTable);
  layout->addWidget(search);
  auto* note = new QLabel(tr("Search when a partition is missing from the list or looks wrong. "
                             "The partitions found are added to those the table lists."));
  note->setWordWrap(true);
  note->setContentsMargins(20, 0, 0, 0);
  layout->addWidget(note);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  // Wrapped labels would otherwise make the dialog tall and narrow.
  setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 50);
}

PartitionChoice PartitionTypeDialog::Choice() const {
  if (result() != QDialog::Accepted) return PartitionChoice::kCancel;
  return search->isChecked() ? PartitionChoice::kSearch : PartitionChoice::kUseExisting;
}

PartitionChoice AskPartitionType(std::size_t listed, QWidget* parent) {
  PartitionTypeDialog dialog(listed, parent);
  dialog.exec();
  return dialog.Choice();
}

}  // namespace dravik::app
