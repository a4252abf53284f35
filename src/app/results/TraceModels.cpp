#include "app/results/TraceModels.h"

#include <QApplication>
#include <QStyle>

namespace dravik::app {

namespace {

Qt::CheckState QtState(CheckState state) {
  return state == CheckState::kChecked   ? Qt::Checked
         : state == CheckState::kPartial ? Qt::PartiallyChecked
                                         : Qt::Unchecked;
}

}  // namespace

TraceTreeModel::TraceTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void TraceTreeModel::SetTree(TraceTree* tree) {
  beginResetModel();
  tree_ = tree;
  rowOf_.clear();
  if (tree_) {
    rowOf_.assign(tree_->Nodes().size(), 0);
    for (const TraceNode& node : tree_->Nodes())
      for (std::size_t i = 0; i < node.children.size(); ++i) rowOf_[node.children[i]] = static_cast<int>(i);
  }
  endResetModel();
}

QModelIndex TraceTreeModel::IndexOf(std::size_t node) const {
  if (!tree_ || node >= rowOf_.size()) return {};
  return createIndex(rowOf_[node], 0, static_cast<quintptr>(node));
}

std::size_t TraceTreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<std::size_t>(index.internalId()) : TraceTree::kRoot;
}

QModelIndex TraceTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!tree_ || column != 0 || row < 0) return {};
  if (!parent.isValid()) return row == 0 ? createIndex(0, 0, quintptr{TraceTree::kRoot}) : QModelIndex();
  const auto& children = tree_->Node(NodeOf(parent)).children;
  if (static_cast<std::size_t>(row) >= children.size()) return {};
  return createIndex(row, 0, static_cast<quintptr>(children[static_cast<std::size_t>(row)]));
}

QModelIndex TraceTreeModel::parent(const QModelIndex& child) const {
  if (!tree_ || !child.isValid() || NodeOf(child) == TraceTree::kRoot) return {};
  return IndexOf(tree_->Node(NodeOf(child)).parent);
}

int TraceTreeModel::rowCount(const QModelIndex& parent) const {
  if (!tree_) return 0;
  if (!parent.isValid()) return 1;
  return static_cast<int>(tree_->Node(NodeOf(parent)).children.size());
}

QVariant TraceTreeModel::data(const QModelIndex& index, int role) const {
  if (!tree_ || !index.isValid()) return {};
  const std::size_t node = NodeOf(index);
  switch (role) {
    case Qt::DisplayRole: return QString::fromStdU16String(tree_->Node(node).label);
    case Qt::CheckStateRole: return QtState(tree_->State(node));
    case Qt::DecorationRole: return QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    default: return {};
  }
}

bool TraceTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
  if (!tree_ || !index.isValid() || role != Qt::CheckStateRole) return false;
  // A box that is not fully checked becomes checked, a checked one unchecked.
  const std::size_t node = NodeOf(index);
  tree_->SetNode(node, tree_->State(node) != CheckState::kChecked);
  RefreshChecks();
  Q_EMIT ChecksChanged();
  return true;
}

void TraceTreeModel::RefreshChecks() {
  if (!tree_) return;
  const QList<int> roles{Qt::CheckStateRole};
  Q_EMIT dataChanged(IndexOf(TraceTree::kRoot), IndexOf(TraceTree::kRoot), roles);
  for (const TraceNode& node : tree_->Nodes())
    if (!node.children.empty()) Q_EMIT dataChanged(IndexOf(node.children.front()), IndexOf(node.children.back()), roles);
}

Qt::ItemFlags TraceTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

TraceListModel::TraceListModel(QObject* parent) : QAbstractTableModel(parent) {}

void TraceListModel::SetTree(TraceTree* tree) {
  beginResetModel();
  tree_ = tree;
  node_ = TraceTree::kRoot;
  endResetModel();
}

void TraceListModel::ShowNode(std::size_t node) {
  beginResetModel();
  node_ = tree_ && node < tree_->Nodes().size() ? node : TraceTree::kRoot;
  endResetModel();
}

const FoundFile* TraceListModel::File(int row) const {
  if (!tree_ || row < 0) return nullptr;
  const auto& files = tree_->Node(node_).files;
  return static_cast<std::size_t>(row) < files.size() ? &tree_->File(files[static_cast<std::size_t>(row)]) : nullptr;
}

int TraceListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !tree_ ? 0 : static_cast<int>(tree_->Node(node_).files.size());
}

int TraceListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant TraceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[] = {"File Name", "Type", "ID"};
  return section >= 0 && section < kColumns ? QString::fromLatin1(kTitles[section]) : QVariant();
}

QVariant TraceListModel::data(const QModelIndex& index, int role) const {
  const FoundFile* file = File(index.row());
  if (!file) return {};
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == kName) return QString::fromStdU16String(file->name);
      if (index.column() == kType) return QString::fromStdU16String(file->typeName);
      return QString::number(file->fileNumber);
    case Qt::TextAlignmentRole:
      if (index.column() == kId) return int(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case Qt::CheckStateRole:
      if (index.column() != kName) return {};
      return tree_->FileChecked(file->fileNumber) ? Qt::Checked : Qt::Unchecked;
    case Qt::DecorationRole:
      if (index.column() != kName) return {};
      return QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    default: return {};
  }
}

bool TraceListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  const FoundFile* file = File(index.row());
  if (!file || role != Qt::CheckStateRole || index.column() != kName) return false;
  tree_->SetFile(file->fileNumber, value.toInt() == Qt::Checked);
  RefreshChecks();
  Q_EMIT ChecksChanged();
  return true;
}

void TraceListModel::RefreshChecks() {
  if (rowCount() > 0) Q_EMIT dataChanged(index(0, kName), index(rowCount() - 1, kName), {Qt::CheckStateRole});
}

Qt::ItemFlags TraceListModel::flags(const QModelIndex& index) const {
  if (!File(index.row())) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kName) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

}  // namespace dravik::app
