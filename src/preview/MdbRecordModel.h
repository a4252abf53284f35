#pragma once
// The records of one database table for a QTableView: a column per field,
// a row per record, every value as text.

#include <QAbstractTableModel>

#include "preview/MdbDatabase.h"

namespace dravik::preview {

class MdbRecordModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;
  void SetRecords(MdbRecords records);
  const MdbRecords& Records() const { return records_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  MdbRecords records_;
};

}  // namespace dravik::preview
