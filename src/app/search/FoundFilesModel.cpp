#include "app/search/FoundFilesModel.h"

namespace dravik::app {

FoundFilesModel::FoundFilesModel(QObject* parent) : QAbstractTableModel(parent) {}

void FoundFilesModel::Clear() {
  beginResetModel();
  hits_.clear();
  checked_.clear();
  endResetModel();
}

void FoundFilesModel::Append(std::vector<SearchHit> hits) {
  if (hits.empty()) return;
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(hits.size()) - 1);
  for (SearchHit& hit : hits) hits_.push_back(std::move(hit));
  checked_.resize(hits_.size(), false);
  endInsertRows();
}

void FoundFilesModel::CheckAll(bool checked) {
  if (hits_.empty()) return;
  checked_.assign(hits_.size(), checked);
  Q_EMIT dataChanged(index(0, kName), index(rowCount() - 1, kName), {Qt::CheckStateRole});
}

const SearchHit* FoundFilesModel::Hit(int row) const {
  return row >= 0 && static_cast<std::size_t>(row) < hits_.size() ? &hits_[static_cast<std::size_t>(row)] : nullptr;
}

bool FoundFilesModel::Checked(int row) const { return Hit(row) && checked_[static_cast<std::size_t>(row)]; }

std::vector<std::size_t> FoundFilesModel::CheckedRecords() const {
  std::vector<std::size_t> records;
  for (std::size_t i = 0; i < hits_.size(); ++i)
    if (checked_[i]) records.push_back(hits_[i].record);
  return records;
}

int FoundFilesModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(hits_.size());
}

int FoundFilesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant FoundFilesModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[] = {"File Name", "Path", "Size", "Creation Time", "Modification Time", "ID"};
  return section >= 0 && section < kColumns ? QString::fromLatin1(kTitles[section]) : QVariant();
}

QVariant FoundFilesModel::Text(const SearchHit& hit, int column) const {
  switch (column) {
    case kName: return QString::fromStdU16String(hit.name);
    case kPath: return QString::fromStdU16String(hit.folder);
    case kSize: return QString::number(hit.size);
    case kCreated: return QString::fromStdString(hit.created).trimmed();
    case kModified: return QString::fromStdString(hit.modified).trimmed();
    case kId: return QString::number(hit.id);
    default: return {};
  }
}

QVariant FoundFilesModel::data(const QModelIndex& index, int role) const {
  const SearchHit* hit = Hit(index.row());
  if (!hit) return {};
  switch (role) {
    case Qt::DisplayRole: return Text(*hit, index.column());
    case Qt::CheckStateRole:
      if (index.column() != kName) return {};
      return Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
    case Qt::TextAlignmentRole:
      if (index.column() == kSize) return int(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default: return {};
  }
}

bool FoundFilesModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || index.column() != kName || !Hit(index.row())) return false;
  checked_[static_cast<std::size_t>(index.row())] = value.toInt() == Qt::Checked;
  Q_EMIT dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags FoundFilesModel::flags(const QModelIndex& index) const {
  if (!Hit(index.row())) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kName) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

}  // namespace dravik::app
