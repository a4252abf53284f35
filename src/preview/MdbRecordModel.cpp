#include "preview/MdbRecordModel.h"

namespace dravik::preview {

void MdbRecordModel::SetRecords(MdbRecords records) {
  beginResetModel();
  records_ = std::move(records);
  endResetModel();
}

int MdbRecordModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(records_.rows.size());
}

int MdbRecordModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(records_.columns.size());
}

QVariant MdbRecordModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= records_.rows.size()) return {};
  const QStringList& row = records_.rows[index.row()];
  return index.column() < row.size() ? row[index.column()] : QVariant();
}

QVariant MdbRecordModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section + 1;
  return section < records_.columns.size() ? records_.columns[section] : QVariant();
}

}  // namespace dravik::preview
