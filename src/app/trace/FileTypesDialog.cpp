#include "app/trace/FileTypesDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "app/ScreenFit.h"

namespace dravik::app {

namespace {

constexpr int kEntryRole = Qt::UserRole;

}  // namespace

FileTypesDialog::FileTypesDialog(std::optional<Catalogue> catalogue, std::uint32_t lastCarveSizeMiB,
                                 const Messenger& messenger, QWidget* parent)
    : QDialog(parent), catalogue_(std::move(catalogue)), messenger_(messenger) {
  setWindowTitle(tr("File Types"));
  auto* layout = new QVBoxLayout(this);
  auto* prompt = new QLabel(CatalogueTexts::kPrompt);
  prompt->setWordWrap(true);
  layout->addWidget(prompt);

  types = new QTreeWidget;
  types->setHeaderHidden(true);
  auto* root = new QTreeWidgetItem(types, {tr("File Types")});
  root->setFlags(root->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
  root->setCheckState(0, Qt::Unchecked);
  if (catalogue_) {
    for (const CatalogueCategory& category : catalogue_->categories) {
      auto* group = new QTreeWidgetItem(root, {QString::fromStdString(category.name)});
      group->setFlags(group->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
      group->setCheckState(0, Qt::Unchecked);
      for (const std::size_t index : category.items) {
        const CatalogueEntry& entry = catalogue_->entries[index];
        auto* item = new QTreeWidgetItem(group, {QString::fromStdString(entry.extension),
                                                 QString::fromStdString(entry.typeName)});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
        item->setData(0, kEntryRole, QVariant::fromValue<qulonglong>(index));
        item->setToolTip(0, QString::fromStdString(entry.typeName));
      }
    }
  }
  types->setColumnCount(2);
  root->setExpanded(true);
  types->resizeColumnToContents(0);
  layout->addWidget(types, 1);

  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(new QLabel(CatalogueTexts::kSizeLabel));
  size = new QComboBox;
  for (const std::string& entry : CarveSizeEntries()) size->addItem(QString::fromStdString(entry));
  size->setCurrentIndex(static_cast<int>(PreselectedCarveEntry(lastCarveSizeMiB)));
  sizeRow->addWidget(size);
  sizeRow->addStretch();
  layout->addLayout(sizeRow);
  // The two choices get a row of their own: beside the size they made the
  // dialog wider than a small screen at a large scale.
  auto* cutRow = new QHBoxLayout;
  trim = new QCheckBox(tr("Cut where the format records the end"));
  trim->setChecked(true);
  cutRow->addWidget(trim);
  cutRow->addSpacing(12);
  skipInner = new QCheckBox(tr("Leave out hits inside files already found"));
  skipInner->setToolTip(tr("A hit that lies inside a file found before it whose format records its end (a "
                           "thumbnail inside a photo, a member inside an archive) is not listed."));
  skipInner->setChecked(true);
  cutRow->addWidget(skipInner);
  cutRow->addStretch();
  layout->addLayout(cutRow);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &FileTypesDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(FitScreen(this, QSize(fontMetrics().averageCharWidth() * 70, fontMetrics().height() * 30)));
}

void FileTypesDialog::ShowSettings(const RecoverySettings& settings) {
  trim->setChecked(settings.trimCarved);
  skipInner->setChecked(settings.skipHitsInsideFound);
}

void FileTypesDialog::KeepSettings(RecoverySettings& settings) const {
  settings.trimCarved = trim->isChecked();
  settings.skipHitsInsideFound = skipInner->isChecked();
}

void FileTypesDialog::CheckExtensions(const QStringList& extensions) {
  for (QTreeWidgetItemIterator it(types); *it; ++it)
    if ((*it)->data(0, kEntryRole).isValid() && extensions.contains((*it)->text(0), Qt::CaseInsensitive))
      (*it)->setCheckState(0, Qt::Checked);
}

void FileTypesDialog::accept() {
  std::vector<std::size_t> checked;
  for (QTreeWidgetItemIterator it(types); *it; ++it)
    if ((*it)->data(0, kEntryRole).isValid() && (*it)->checkState(0) == Qt::Checked)
      checked.push_back(static_cast<std::size_t>((*it)->data(0, kEntryRole).toULongLong()));
  const std::uint32_t mib = CarveSizeOfEntry(static_cast<std::size_t>(size->currentIndex()));
  if (!catalogue_ || !ConfirmTypes(*catalogue_, checked, mib, choice_)) {
    messenger_.Show(CatalogueTexts::kNothingChecked, MessageKind::kInformation);
    return;
  }
  QDialog::accept();
}

}  // namespace dravik::app
