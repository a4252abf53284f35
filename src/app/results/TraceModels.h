#pragma once
// The File Trace results as models over the engine's TraceTree: the tree of
// types and extensions with three-state check boxes, and the found files of
// the chosen node (File Name, Type, ID) with theirs.

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <vector>

#include "raw/TraceTree.h"

namespace dravik::app {

class TraceTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit TraceTreeModel(QObject* parent = nullptr);
  void SetTree(TraceTree* tree);
  QModelIndex IndexOf(std::size_t node) const;
  std::size_t NodeOf(const QModelIndex& index) const;
  void RefreshChecks();

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
  TraceTree* tree_ = nullptr;
  std::vector<int> rowOf_;
};

class TraceListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName, kType, kId, kColumns };

  explicit TraceListModel(QObject* parent = nullptr);
  void SetTree(TraceTree* tree);
  void ShowNode(std::size_t node);
  std::size_t Node() const { return node_; }
  // The found file of a row; null past the rows.
  const FoundFile* File(int row) const;
  void RefreshChecks();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 Q_SIGNALS:
  void ChecksChanged();

 private:
  TraceTree* tree_ = nullptr;
  std::size_t node_ = TraceTree::kRoot;
};

}  // namespace dravik::app
