#pragma once
// A dBASE table, read-only: the field names as column headers, one row per
// record, deleted records kept (recovered tables often hold the ones wanted)
// and marked in the row header.

#include <QAbstractTableModel>
#include <QStringList>
#include <optional>

#include "preview/DbfReader.h"
#include "preview/Viewers.h"

class QTableView;

namespace dravik::preview {

class DbfModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit DbfModel(DbfTable table, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  const DbfTable& Table() const { return table_; }

 private:
  DbfTable table_;
};

class DbfViewer : public Viewer {
  Q_OBJECT

 public:
  // Rows past this many are not shown: a model row count is an int.
  static constexpr std::size_t kMaxRecords = 10000000;

  explicit DbfViewer(QWidget* parent = nullptr);
  bool Load(const QString& path) override;
  QStringList FieldNames() const;
  int RecordCount() const;
  bool Deleted(int record) const;
  QString CellText(int record, int field) const;

 private:
  QTableView* view_;
  DbfModel* model_ = nullptr;
};

}  // namespace dravik::preview
