#pragma once
// Page 4: the recovered folder tree with check boxes beside the list of the
// selected folder (the folder listed is always the one highlighted in the
// tree), the size of what a save of the checked items would write, and
// Recover. While File Filters are on, a bar above the list names
// them and offers to clear them. Rows of the
// list can be renamed (F2) and their properties shown; a right click on a
// row, not on its check box, asks for the context menu.

#include <QWidget>
#include <optional>
#include <vector>

#include "fs/ItemProperties.h"

class QAbstractItemModel;
class QAbstractItemView;
class QLabel;
class QListView;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTreeView;

namespace dravik {
class FilterList;
struct RecoverySettings;
class TraceTree;
class ResultTree;
class RecoveryStore;
}

namespace dravik::preview {
class PreviewPane;
}

namespace dravik::app {

class FileListModel;
class FolderTreeModel;
class TraceListModel;
class TraceTreeModel;

class ResultsPage : public QWidget {
  Q_OBJECT

 public:
  enum class ViewStyle { kIcons, kList, kDetails };

  explicit ResultsPage(QWidget* parent = nullptr);
  // The file filters and settings every list and save follows; they
  // outlive the page.
  void UseSaveRules(FilterList& filter, const RecoverySettings& settings);
  void SetResult(ResultTree* tree, RecoveryStore* store);
  // Shows the found files of a File Trace instead of a folder tree.
  void SetTraceResult(TraceTree* tree);
  bool ShowsTrace() const { return trace_ != nullptr; }
  void ShowNode(std::size_t node);
  // Lists the folder shown again, as the file filters now ask, and says
  // which filters are on.
  void RefreshList();
  // Turns the file filters off.
  void ClearFilters();
  // Opens a row of the list: a folder, or "Parent...".
  void OpenRow(int row);
  void SetViewStyle(ViewStyle style);
  void UpdateSelectedSize();
  // The list view shown (details, or icons and list).
  QAbstractItemView* ShownList() const { return ShownView(); }
  // The row under the selection mark of the list shown, -1 without one.
  int CurrentRow() const;
  // Starts editing the current row's name.
  void RenameCurrent();
  std::optional<ItemProperties> CurrentProperties() const;
  void ShowProperties();
  // The tree's folder commands: its check box set or cleared as clicks on
  // it would (a folder, or a file type of File Trace), and a folder's
  // properties as its parent's list gives them.
  void SetFolderChecked(std::size_t node, bool checked);
  std::optional<ItemProperties> FolderProperties(std::size_t node) const;
  void ShowFolderProperties(std::size_t node);

  QLabel* mode;
  QTreeView* folders;
  QStackedWidget* views;
  QTreeView* details;
  QListView* icons;
  QLabel* selectedSize;
  QWidget* filterBar;
  QLabel* filterText;
  QPushButton* clearFilters;
  QSplitter* splitter;
  QSplitter* listAndPreview;
  preview::PreviewPane* preview;
  QPushButton* recover;
  QPushButton* back;
  QPushButton* home;
  FolderTreeModel* treeModel;
  FileListModel* listModel;
  TraceTreeModel* traceTreeModel;
  TraceListModel* traceListModel;

 Q_SIGNALS:
  void ContextMenuAsked(const QPoint& global);
  // A right click on a folder of the tree, or on a file type of File Trace's.
  void FolderMenuAsked(const QPoint& global, std::size_t node);
  // Another folder is listed: what was previewed is gone from the pane.
  void FolderChanged();
  // A row of the list became current (a click, the arrow keys): the preview follows it.
  void RowChosen(int row);

 private:
  QAbstractItemView* ShownView() const;
  // Puts the models of the result shown under the views.
  void AttachModels(QAbstractItemModel* tree, QAbstractItemModel* list, const std::vector<int>& widths);
  // Whether the point of the view lies on a row's check box.
  bool OnCheckBox(QAbstractItemView* view, const QPoint& at) const;
  void UpdateFilterBar();
  // Lists the folder of the node, clearing the preview when it is another folder.
  void ListFolder(std::size_t node);

  ResultTree* tree_ = nullptr;
  RecoveryStore* store_ = nullptr;
  FilterList* filter_ = nullptr;
  const RecoverySettings* settings_ = nullptr;
  TraceTree* trace_ = nullptr;
};

}  // namespace dravik::app
