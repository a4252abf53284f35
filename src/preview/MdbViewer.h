#pragma once
// A Jet database: a tree of its tables, relations and queries under
// "Access DataBase"; clicking a table lists its records below with a
// status line of how many were loaded. Every reading of the file happens in
// a child process (MdbChildRead.h): the viewer keeps the file's bytes and
// what the children handed back, never a libmdb handle.

#include <QByteArray>

#include "preview/Viewers.h"

class QLabel;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;

namespace dravik::preview {

class MdbRecordModel;
struct MdbCatalog;

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
  void Fill(const MdbCatalog& catalog);

  QTreeWidget* tree_;
  QTableView* table_;
  MdbRecordModel* model_;
  QLabel* status_;
  QByteArray bytes_;
};

}  // namespace dravik::preview
