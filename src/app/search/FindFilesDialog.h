#pragma once
// Find File(s): searches the file records of the results shown by a name
// pattern on a thread of its own and lists what it finds, each row with a
// check box; Save Selected File writes the checked files flat into a folder
// the user chooses, leaving the result tree's check marks as they are. Stop
// Search holds the search at its next record while the question is open:
// Yes ends it there, keeping what it found, No lets it go on.

#include <QDialog>
#include <mutex>
#include <vector>

#include "app/workers/ScanWorker.h"
#include "fs/FileSearch.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace dravik::app {

class FoundFilesModel;
class Wizard;

class FindFilesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit FindFilesDialog(Wizard& wizard, QWidget* parent = nullptr);
  ~FindFilesDialog() override;

  void StartSearch();
  void StopSearch();
  bool Searching() const { return searching_; }
  // The next search starts held before its first record, as if the stop
  // question were open, until it is answered.
  void HoldNextSearch() { worker_.HoldNextStart(); }
  // Select All / Unselect All as the button's new state asks.
  void SelectAll(bool checked);
  void SaveSelected();

  QLineEdit* pattern;
  QPushButton* start;
  QPushButton* stop;
  QTreeView* results;
  FoundFilesModel* model;
  QLabel* lastFile;
  QLabel* filesFound;
  QLabel* status;
  QPushButton* selectAll;
  QPushButton* save;

 protected:
  // Closing ends a running search first, without asking.
  void reject() override;

 private:
  void BuildLayout();
  void SetSearching(bool searching);
  // The search's thread: keeps the hit and asks for one delivery at a time.
  void Found(SearchHit hit);
  void DeliverHits();
  void EndSearch(int run);
  void EndNow();

  Wizard& wizard_;
  ScanWorker worker_;
  bool searching_ = false;
  int run_ = 0;  // the search that runs; an end posted by an earlier one is ignored
  std::mutex mutex_;
  std::vector<SearchHit> pending_;
  bool posted_ = false;
};

}  // namespace dravik::app
