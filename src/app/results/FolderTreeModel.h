#pragma once
// The folder tree of a scan's result as a model over the engine's
// ResultTree: one row per node, the node's check state shown in three
// states and changed through the tree's own click rule.

#include <QAbstractItemModel>
#include <QIcon>
#include <vector>

#include "fs/ResultTree.h"

namespace dravik::app {

class FolderTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit FolderTreeModel(QObject* parent = nullptr);
  void SetTree(ResultTree* tree);
  ResultTree* Tree() const { return tree_; }

  QModelIndex IndexOf(std::size_t node) const;
  std::size_t NodeOf(const QModelIndex& index) const;
  // Tells the views that check states may have changed anywhere.
  void RefreshChecks();
  // Tells the views that the node's label changed.
  void RefreshLabel(std::size_t node);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& = {}) const override { return 1; }
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 Q_SIGNALS:
  void ChecksChanged();

 private:
  ResultTree* tree_ = nullptr;
  std::vector<int> rowOf_;  // each node's row among its siblings
  QIcon folderIcon_;        // made once: the style reads its images at each request
};

}  // namespace dravik::app
