#pragma once
// A Jet database: a tree of its tables, relations and queries under
// "Access DataBase"; clicking a table lists its records below with a
// status line of how many were loaded.

#include <optional>

#include "preview/MdbDatabase.h"
#include "preview/Viewers.h"

class QLabel;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;

namespace dravik::preview {

class MdbRecordModel;

class MdbViewer : public Viewer {
  Q_OBJECT

 public:
  explicit MdbViewer(QWidget* parent = nullptr);
  ~MdbViewer() override;
  bool Load(const QString& path) override;

  QTreeWidget* Tree() const { return tree_; }
  const MdbRecordModel* Records() const { return model_; }
  QString Status() const;
  // Shows the records of the table of that name, as clicking it in the tree does.
  bool ShowTable(const QString& name);

 private:
  void OnItemClicked(QTreeWidgetItem* item);
  void Fill();

  QTreeWidget* tree_;
  QTableView* table_;
  MdbRecordModel* model_;
  QLabel* status_;
  std::optional<MdbDatabase> database_;
};

}  // namespace dravik::preview
