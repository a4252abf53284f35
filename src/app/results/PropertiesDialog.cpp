#include "app/results/PropertiesDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace dravik::app {

namespace {

QLabel* Value(const QString& text) {
  auto* label = new QLabel(text);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setWordWrap(true);
  return label;
}

}  // namespace

PropertiesDialog::PropertiesDialog(const ItemProperties& properties, QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("File/Folder Properties"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(tr("Name:"), Value(QString::fromStdU16String(properties.name)));
  form->addRow(tr("Size:"), Value(QString::fromStdString(properties.size)));
  form->addRow(tr("Contains:"), Value(QString::fromStdString(properties.contains)));
  form->addRow(tr("Creation Date:"), Value(QString::fromStdString(properties.created).trimmed()));
  form->addRow(tr("Modification Date:"), Value(QString::fromStdString(properties.modified).trimmed()));
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 48);
}

}  // namespace dravik::app
