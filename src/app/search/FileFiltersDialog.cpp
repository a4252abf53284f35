#include "app/search/FileFiltersDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "app/Messenger.h"
#include "app/search/SearchTexts.h"

namespace dravik::app {

FileFiltersDialog::FileFiltersDialog(FilterList& filter, const Messenger& messenger, QWidget* parent)
    : QDialog(parent), filter_(filter), messenger_(messenger) {
  setWindowTitle(SearchTexts::kFiltersTitle);
  setModal(true);
  auto* layout = new QGridLayout(this);
  text = new QLineEdit;
  add = new QPushButton(SearchTexts::kAdd);
  add->setDefault(true);
  list = new QListWidget;
  remove = new QPushButton(SearchTexts::kRemove);
  remove->setAutoDefault(false);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
  closeButton = buttons->button(QDialogButtonBox::Close);
  closeButton->setAutoDefault(false);
  layout->addWidget(text, 0, 0);
  layout->addWidget(add, 0, 1);
  layout->addWidget(list, 1, 0, 2, 1);
  layout->addWidget(remove, 1, 1, Qt::AlignTop);
  layout->addWidget(buttons, 3, 0, 1, 2);
  for (const std::u16string& pattern : filter_.Patterns()) list->addItem(QString::fromStdU16String(pattern));
  connect(add, &QPushButton::clicked, this, &FileFiltersDialog::Add);
  connect(remove, &QPushButton::clicked, this, &FileFiltersDialog::RemoveSelected);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void FileFiltersDialog::Add() {
  const QString pattern = text->text();
  const FilterList::AddResult result = filter_.Add(pattern.toStdU16String());
  if (result != FilterList::AddResult::kAdded) {
    Refuse(result);
    return;
  }
  list->addItem(pattern);
  text->clear();
  Q_EMIT Changed();
}

void FileFiltersDialog::Refuse(FilterList::AddResult result) {
  messenger_.Show(QString::fromLatin1(FilterList::Message(result)), MessageKind::kInformation);
  text->setFocus();
  if (result == FilterList::AddResult::kTooLong)
    text->setSelection(0, static_cast<int>(FilterList::kMaxLength));
  else if (result == FilterList::AddResult::kDuplicate)
    text->selectAll();
}

void FileFiltersDialog::RemoveSelected() {
  const int row = list->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= filter_.Patterns().size()) return;
  filter_.Remove(static_cast<std::size_t>(row));
  delete list->takeItem(row);
  Q_EMIT Changed();
}

}  // namespace dravik::app
