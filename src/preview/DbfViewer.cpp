#include "preview/DbfViewer.h"

#include <QPalette>
#include <QTableView>
#include <QVBoxLayout>

#include "preview/PreviewFile.h"

namespace dravik::preview {
namespace {

QString FromFile(const std::string& text) {
  return DecodeText(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace

DbfModel::DbfModel(DbfTable table, QObject* parent) : QAbstractTableModel(parent), table_(std::move(table)) {}

int DbfModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min(table_.RecordCount(), DbfViewer::kMaxRecords));
}

int DbfModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(table_.Fields().size());
}

QVariant DbfModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const auto record = static_cast<std::size_t>(index.row());
  if (role == Qt::DisplayRole) return FromFile(table_.Text(record, static_cast<std::size_t>(index.column())));
  if (role == Qt::ForegroundRole && table_.Deleted(record)) return QPalette().brush(QPalette::Disabled, QPalette::Text);
  return {};
}

QVariant DbfModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || section < 0) return {};
  if (orientation == Qt::Horizontal)
    return static_cast<std::size_t>(section) < table_.Fields().size()
               ? FromFile(table_.Fields()[static_cast<std::size_t>(section)].name)
               : QVariant();
  const QString number = QString::number(section + 1);
  return table_.Deleted(static_cast<std::size_t>(section)) ? tr("%1 (deleted)").arg(number) : number;
}

DbfViewer::DbfViewer(QWidget* parent) : Viewer(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new QTableView;
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setWordWrap(false);
  layout->addWidget(view_);
}

bool DbfViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes) return false;
  DbfRead read = ReadDbf(AsBytes(*bytes));
  if (!read.table) return false;
  auto* model = new DbfModel(std::move(*read.table), this);
  view_->setModel(model);
  delete model_;
  model_ = model;
  return true;
}

QStringList DbfViewer::FieldNames() const {
  QStringList names;
  if (!model_) return names;
  for (int c = 0; c < model_->columnCount(); ++c)
    names << model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  return names;
}

int DbfViewer::RecordCount() const { return model_ ? model_->rowCount() : 0; }

bool DbfViewer::Deleted(int record) const {
  return model_ && record >= 0 && model_->Table().Deleted(static_cast<std::size_t>(record));
}

QString DbfViewer::CellText(int record, int field) const {
  return model_ ? model_->data(model_->index(record, field), Qt::DisplayRole).toString() : QString();
}

}  // namespace dravik::preview
