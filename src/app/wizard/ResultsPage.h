#pragma once
// Page 4: the recovered folder tree with check boxes beside the list of the
// selected folder, the size of what is checked, and Recover.

#include <QWidget>

class QLabel;
class QListView;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTreeView;

namespace dravik {
class FilterList;
class ResultTree;
class RecoveryStore;
}

namespace dravik::app {

class FileListModel;
class FolderTreeModel;

class ResultsPage : public QWidget {
  Q_OBJECT

 public:
  enum class ViewStyle { kIcons, kList, kDetails };

  explicit ResultsPage(QWidget* parent = nullptr);
  void SetResult(ResultTree* tree, const RecoveryStore* store, const FilterList* filter);
  void ShowNode(std::size_t node);
  // Opens a row of the list: a folder, or "Parent...".
  void OpenRow(int row);
  void SetViewStyle(ViewStyle style);
  void UpdateSelectedSize();

  QLabel* mode;
  QTreeView* folders;
  QStackedWidget* views;
  QTreeView* details;
  QListView* icons;
  QLabel* selectedSize;
  QSplitter* splitter;
  QPushButton* recover;
  QPushButton* back;
  QPushButton* home;
  FolderTreeModel* treeModel;
  FileListModel* listModel;

 Q_SIGNALS:
  void ContextMenuAsked(const QPoint& global);

 private:
  ResultTree* tree_ = nullptr;
  const RecoveryStore* store_ = nullptr;
  const FilterList* filter_ = nullptr;
};

}  // namespace dravik::app
