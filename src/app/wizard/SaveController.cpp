#include "app/wizard/SaveController.h"

#include <QFile>

#include "app/AppTexts.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/TraceModels.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/SnapshotController.h"
#include "app/wizard/Wizard.h"
#include "save/SaveDriver.h"

namespace dravik::app {

SaveController::SaveController(Wizard& wizard) : wizard_(wizard), session_(wizard.session()) {}

bool SaveController::NothingChecked() const {
  return session_.traceTree ? session_.traceTree->Checked().empty()
                            : session_.Tree()->CheckedFolders().empty() && session_.Tree()->CheckedFiles().empty();
}

bool SaveController::SomethingPassesFilters() {
  if (!session_.Tree()) return true;
  const SelectedFiles selected = CountSelected(session_.Store(), *session_.Tree(), session_.settings, session_.filter);
  if (selected.files > 0 || selected.filteredOut == 0) return true;
  wizard_.messenger().Show(tr("None of the %1 checked files matches the File Filters, so nothing would be saved.\n\n"
                              "Clear the filters (above the list) or check other files.")
                               .arg(selected.filteredOut),
                           MessageKind::kError);
  return false;
}

void SaveController::Recover() {
  if (!session_.ResultsAvailable() || wizard_.CurrentPage() != Wizard::kResults) return;
  if (NothingChecked()) {
    wizard_.messenger().Show(AppTexts::kNothingMarked, MessageKind::kInformation);
    return;
  }
  if (SomethingPassesFilters()) Run(std::nullopt);
}

void SaveController::SaveFound(std::vector<std::size_t> records) {
  if (!session_.Tree()) return;
  if (records.empty()) {
    wizard_.messenger().Show(AppTexts::kNothingMarked, MessageKind::kInformation);
    return;
  }
  Run(std::move(records));
}

void SaveController::Run(std::optional<std::vector<std::size_t>> records) {
  if (session_.snapshot && !wizard_.snapshots().EnsureImage()) return;
  const QString folder = wizard_.chooseDestination();
  if (folder.isEmpty()) return;
  session_.destination = QFile::encodeName(folder).toStdString();
  SaveProgressDialog dialog(session_, wizard_.messenger(), &wizard_);
  if (records) dialog.SaveOnly(std::move(*records));
  dialog.exec();
}

void SaveController::SaveAll() {
  if (!session_.ResultsAvailable()) return;
  const std::optional<ResultTree> folderChecks =
      session_.Tree() ? std::optional<ResultTree>(*session_.Tree()) : std::nullopt;
  const std::optional<TraceTree> traceChecks = session_.traceTree;
  if (session_.traceTree)
    session_.traceTree->SetNode(TraceTree::kRoot, true);
  else
    session_.Tree()->CheckEverything();
  RefreshChecks();
  Recover();
  if (traceChecks) *session_.traceTree = *traceChecks;
  if (folderChecks) *session_.Tree() = *folderChecks;
  RefreshChecks();
}

void SaveController::RecoverFolder(std::size_t node) {
  if (session_.traceTree) {
    RecoverTraceNode(node);
    return;
  }
  if (!session_.Tree() || node >= session_.Tree()->Nodes().size()) return;
  ResultTree& tree = *session_.Tree();
  const ResultTree checks = tree;
  if (node == ResultTree::kRoot) {
    tree.CheckEverything();
  } else {
    // Clicking the root box until it is clear unchecks everything, whatever it showed.
    tree.ClickFolderBox(ResultTree::kRoot);
    if (tree.Node(ResultTree::kRoot).state != CheckState::kUnchecked) tree.ClickFolderBox(ResultTree::kRoot);
    tree.ClickFolderBox(node);
  }
  RefreshChecks();
  Recover();
  *session_.Tree() = checks;
  RefreshChecks();
}

// A file type of File Trace, with its extensions below it.
void SaveController::RecoverTraceNode(std::size_t node) {
  if (node >= session_.traceTree->Nodes().size()) return;
  const TraceTree checks = *session_.traceTree;
  session_.traceTree->SetNode(TraceTree::kRoot, false);
  session_.traceTree->SetNode(node, true);
  RefreshChecks();
  Recover();
  *session_.traceTree = checks;
  RefreshChecks();
}

void SaveController::RefreshChecks() {
  ResultsPage* results = wizard_.results;
  results->treeModel->RefreshChecks();
  results->listModel->RefreshChecks();
  results->traceTreeModel->RefreshChecks();
  results->traceListModel->RefreshChecks();
  results->UpdateSelectedSize();
}

}  // namespace dravik::app
