#pragma once
// Saving from the results page: what the tree has checked, everything, one
// folder (or File Trace type) or the files Find File(s) checked, into a
// destination the user chooses, with the image of a snapshot asked for first.

#include <QObject>
#include <cstddef>
#include <optional>
#include <vector>

namespace dravik::app {

class Wizard;
struct Session;

class SaveController : public QObject {
  Q_OBJECT

 public:
  explicit SaveController(Wizard& wizard);

  // Saves what the tree has checked.
  void Recover();
  // Saves everything; the user's own checks come back afterwards.
  void SaveAll();
  // Saves the folder of the tree node (with File Trace, the file type or
  // extension) with everything below it, whatever else is checked; the
  // user's own checks come back afterwards.
  void RecoverFolder(std::size_t node);
  // Saves the files at these indexes of the store's file list (the checked
  // rows of Find File(s)) flat into a folder the user chooses; the result
  // tree's check marks play no part.
  void SaveFound(std::vector<std::size_t> records);

 private:
  bool NothingChecked() const;
  // False, after saying so, when every checked file is left out by the File Filters.
  bool SomethingPassesFilters();
  // Asks for the image of a snapshot and the destination, then runs the
  // save: of what the tree has checked, or only of the records given.
  void Run(std::optional<std::vector<std::size_t>> records);
  void RecoverTraceNode(std::size_t node);
  // Tells the result views that check states may have changed.
  void RefreshChecks();

  Wizard& wizard_;
  Session& session_;
};

}  // namespace dravik::app
