#pragma once
// The rows of Find File(s): one per file the search found, in the order it
// found them, each with a check box of its own. These checks choose what
// Save Selected File writes; they are not the result tree's.

#include <QAbstractTableModel>
#include <vector>

#include "fs/FileSearch.h"

namespace dravik::app {

class FoundFilesModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // kId is the hidden column: the file's identifier in decimal.
  enum Column { kName, kPath, kSize, kCreated, kModified, kId, kColumns };

  explicit FoundFilesModel(QObject* parent = nullptr);
  void Clear();
  void Append(std::vector<SearchHit> hits);
  void CheckAll(bool checked);
  const SearchHit* Hit(int row) const;
  bool Checked(int row) const;
  // The store indexes of the checked rows, from the first row down.
  std::vector<std::size_t> CheckedRecords() const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  QVariant Text(const SearchHit& hit, int column) const;

  std::vector<SearchHit> hits_;
  std::vector<bool> checked_;
};

}  // namespace dravik::app
