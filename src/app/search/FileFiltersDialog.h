#pragma once
// File Filters: the list of name patterns that, while it is not empty,
// lets only matching files into the results list and into a save (folders
// are never filtered). Add refuses a blank pattern, one that is too long, a
// duplicate and one past the last slot, each with its message, and leaves
// the list as it was.

#include <QDialog>

#include "fs/NameMatch.h"

class QLineEdit;
class QListWidget;
class QPushButton;

namespace dravik::app {

class Messenger;

class FileFiltersDialog : public QDialog {
  Q_OBJECT

 public:
  FileFiltersDialog(FilterList& filter, const Messenger& messenger, QWidget* parent = nullptr);

  void Add();
  void RemoveSelected();

  QLineEdit* text;
  QListWidget* list;
  QPushButton* add;
  QPushButton* remove;
  QPushButton* closeButton;

 Q_SIGNALS:
  // A pattern was added or removed.
  void Changed();

 private:
  // Shows a refusal and marks in the text box what it is about.
  void Refuse(FilterList::AddResult result);

  FilterList& filter_;
  const Messenger& messenger_;
};

}  // namespace dravik::app
