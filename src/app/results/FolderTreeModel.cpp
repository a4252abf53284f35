#include "app/results/FolderTreeModel.h"

#include <QApplication>
#include <QBrush>
#include <QStyle>

namespace dravik::app {

FolderTreeModel::FolderTreeModel(QObject* parent)
    : QAbstractItemModel(parent), folderIcon_(QApplication::style()->standardIcon(QStyle::SP_DirIcon)) {}

void FolderTreeModel::SetTree(ResultTree* tree) {
  beginResetModel();
  tree_ = tree;
  rowOf_.clear();
  if (tree_) {
    rowOf_.assign(tree_->Nodes().size(), 0);
    for (const TreeNode& node : tree_->Nodes())
      for (std::size_t i = 0; i < node.children.size(); ++i) rowOf_[node.children[i]] = static_cast<int>(i);
  }
  endResetModel();
}

QModelIndex FolderTreeModel::IndexOf(std::size_t node) const {
  if (!tree_ || node >= rowOf_.size()) return {};
  return createIndex(rowOf_[node], 0, static_cast<quintptr>(node));
}

std::size_t FolderTreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<std::size_t>(index.internalId()) : ResultTree::kRoot;
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!tree_ || column != 0 || row < 0) return {};
  if (!parent.isValid()) return row == 0 ? createIndex(0, 0, quintptr{ResultTree::kRoot}) : QModelIndex();
  const auto& children = tree_->Node(NodeOf(parent)).children;
  if (static_cast<std::size_t>(row) >= children.size()) return {};
  return createIndex(row, 0, static_cast<quintptr>(children[static_cast<std::size_t>(row)]));
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
  if (!tree_ || !child.isValid()) return {};
  const std::size_t node = NodeOf(child);
  if (node == ResultTree::kRoot) return {};
  return IndexOf(tree_->Node(node).parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (!tree_) return 0;
  if (!parent.isValid()) return 1;
  return static_cast<int>(tree_->Node(NodeOf(parent)).children.size());
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  if (!tree_ || !index.isValid()) return {};
  const TreeNode& node = tree_->Node(NodeOf(index));
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: return QString::fromStdU16String(node.label);
    case Qt::CheckStateRole:
      return node.state == CheckState::kChecked   ? Qt::Checked
             : node.state == CheckState::kPartial ? Qt::PartiallyChecked
                                                  : Qt::Unchecked;
    case Qt::DecorationRole: return folderIcon_;
    case Qt::ForegroundRole:
      if (node.deleted) return QBrush(QColor(255, 0, 0));
      return {};
    case Qt::ToolTipRole:
      if (node.deleted) return tr("Deleted folder");
      return {};
    default: return {};
  }
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
  if (!tree_ || !index.isValid() || role != Qt::CheckStateRole) return false;
  tree_->ClickFolderBox(NodeOf(index));
  RefreshChecks();
  Q_EMIT ChecksChanged();
  return true;
}

void FolderTreeModel::RefreshChecks() {
  if (!tree_) return;
  const QList<int> roles{Qt::CheckStateRole};
  Q_EMIT dataChanged(IndexOf(ResultTree::kRoot), IndexOf(ResultTree::kRoot), roles);
  for (std::size_t n = 0; n < tree_->Nodes().size(); ++n) {
    const auto& children = tree_->Node(n).children;
    if (children.empty()) continue;
    Q_EMIT dataChanged(IndexOf(children.front()), IndexOf(children.back()), roles);
  }
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void FolderTreeModel::RefreshLabel(std::size_t node) {
  const QModelIndex at = IndexOf(node);
  if (at.isValid()) Q_EMIT dataChanged(at, at, {Qt::DisplayRole});
}

}  // namespace dravik::app
