#include "app/RecoverySettingsDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QRadioButton>
#include <QVBoxLayout>

namespace dravik::app {

namespace {

QGroupBox* Group(const QString& title, QButtonGroup* group, const QStringList& choices, int current) {
  auto* box = new QGroupBox(title);
  auto* layout = new QVBoxLayout(box);
  for (int i = 0; i < choices.size(); ++i) {
    auto* button = new QRadioButton(choices[i]);
    group->addButton(button, i + 1);
    layout->addWidget(button);
    if (i + 1 == current) button->setChecked(true);
  }
  return box;
}

}  // namespace

RecoverySettingsDialog::RecoverySettingsDialog(RecoverySettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  setWindowTitle(tr("Recovery Settings"));
  auto* layout = new QVBoxLayout(this);
  duplicates_ = new QButtonGroup(this);
  layout->addWidget(Group(tr("Setting of duplicate file(s)"), duplicates_,
                          {tr("Rename duplicate file(s)"), tr("Overwrite duplicate file(s)"), tr("Skip duplicate file(s)")},
                          static_cast<int>(settings.duplicates)));
  deleted_ = new QButtonGroup(this);
  layout->addWidget(Group(tr("Setting for deleted file(s)"), deleted_,
                          {tr("Include deleted file(s)"), tr("Recover only deleted file(s)"), tr("Exclude deleted file(s)")},
                          static_cast<int>(settings.deleted)));
  auto* form = new QFormLayout;
  sectors_ = new QComboBox;
  for (int i = 1; i <= 100; ++i) sectors_->addItem(QString::number(i));
  sectors_->setCurrentIndex(static_cast<int>(settings.sectorsPerRead) - 1);
  form->addRow(tr("Sectors to read in single attempt"), sectors_);
  layout->addLayout(form);
  trim_ = new QCheckBox(tr("Cut files found by File Trace where their format records the end"));
  trim_->setChecked(settings.trimCarved);
  layout->addWidget(trim_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

void RecoverySettingsDialog::accept() {
  settings_.duplicates = static_cast<DuplicateMode>(duplicates_->checkedId());
  settings_.deleted = static_cast<DeletedMode>(deleted_->checkedId());
  settings_.sectorsPerRead = static_cast<std::uint32_t>(sectors_->currentIndex() + 1);
  settings_.trimCarved = trim_->isChecked();
  QDialog::accept();
}

}  // namespace dravik::app
