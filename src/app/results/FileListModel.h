#pragma once
// The contents of the folder shown: the "Parent..." row, the sub-folders
// and the files, as the engine lists them or in the order chosen last
// (names as a person reads them: numbers by value, case folded), with their check boxes kept in
// the engine's ResultTree. Names are editable: a rename reaches the store,
// so the item is saved under its new name.

#include <QAbstractTableModel>
#include <QIcon>
#include <vector>

#include "fs/ResultTree.h"

namespace dravik::app {

class FileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName, kType, kSize, kCreated, kModified, kId, kColumns };

  explicit FileListModel(QObject* parent = nullptr);
  void SetTree(ResultTree* tree, RecoveryStore* store);
  // Lists the folder of the node.
  void ShowFolder(std::size_t node, const FilterList& filter);
  std::size_t FolderNode() const { return node_; }
  const ListRow* Row(int row) const;
  void RefreshChecks();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Sorts the rows; the folders listed afterwards keep this order, until a
  // sort by column -1 lists them as the engine does.
  void sort(int column, Qt::SortOrder order) override;

 Q_SIGNALS:
  void ChecksChanged();
  // A folder listed here was renamed; its tree node carries the new name.
  void FolderRenamed(std::size_t node);

 private:
  bool Rename(int row, const QString& name);
  void SortRows(int column, Qt::SortOrder order);

  ResultTree* tree_ = nullptr;
  RecoveryStore* store_ = nullptr;
  std::size_t node_ = ResultTree::kRoot;
  std::vector<ListRow> rows_;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  // The style's icons, made once: the style builds an icon anew at each
  // request, reading its images, and the view asks for one per row painted.
  QIcon parentIcon_;
  QIcon folderIcon_;
  QIcon fileIcon_;
};

}  // namespace dravik::app
