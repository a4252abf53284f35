#include "app/DriveInformationDialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QVBoxLayout>

#include "app/wizard/InfoPane.h"

namespace dravik::app {

DriveInformationDialog::DriveInformationDialog(const std::vector<InfoLine>& lines, QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Drive Information"));
  auto* layout = new QVBoxLayout(this);
  auto* group = new QGroupBox(tr("Drive Properties"));
  auto* inner = new QVBoxLayout(group);
  auto* pane = new InfoPane(QString());
  pane->SetLines(lines);
  inner->addWidget(pane);
  layout->addWidget(group);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

}  // namespace dravik::app
