#include "preview/MdbViewer.h"

#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTableView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "preview/MdbChildRead.h"
#include "preview/MdbRecordModel.h"
#include "preview/PreviewFile.h"

namespace dravik::preview {

namespace {

// Marks the tree's table items, so that a click on a group or a query loads nothing.
constexpr int kTableRole = Qt::UserRole + 1;

}  // namespace

MdbViewer::MdbViewer(QWidget* parent) : Viewer(parent) {
  tree_ = new QTreeWidget;
  tree_->setHeaderHidden(true);
  model_ = new MdbRecordModel(this);
  table_ = new QTableView;
  table_->setModel(model_);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  status_ = new QLabel;

  auto* records = new QWidget;
  auto* recordsLayout = new QVBoxLayout(records);
  recordsLayout->setContentsMargins(0, 0, 0, 0);
  recordsLayout->addWidget(table_, 1);
  recordsLayout->addWidget(status_);
  auto* splitter = new QSplitter(Qt::Horizontal);
  splitter->addWidget(tree_);
  splitter->addWidget(records);
  splitter->setStretchFactor(1, 3);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(splitter);

  connect(tree_, &QTreeWidget::itemClicked, this, &MdbViewer::OnItemClicked);
}

MdbViewer::~MdbViewer() = default;

bool MdbViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes || MdbDatabase::PageSizeOf(*bytes) == 0) return false;
  const std::optional<MdbCatalog> catalog = ReadMdbCatalogApart(*bytes);
  if (!catalog) return false;
  bytes_ = *bytes;
  Fill(*catalog);
  return true;
}

void MdbViewer::Fill(const MdbCatalog& catalog) {
  tree_->clear();
  auto* root = new QTreeWidgetItem(tree_, {tr("Access DataBase")});
  auto* tables = new QTreeWidgetItem(root, {tr("Tables")});
  for (const QString& name : catalog.tables) new QTreeWidgetItem(tables, {name});
  for (int i = 0; i < tables->childCount(); ++i) tables->child(i)->setData(0, kTableRole, true);
  auto* relations = new QTreeWidgetItem(root, {tr("Relations")});
  for (const QString& name : catalog.relations) new QTreeWidgetItem(relations, {name});
  auto* queries = new QTreeWidgetItem(root, {tr("QueryDefs")});
  for (const QString& name : catalog.queries) new QTreeWidgetItem(queries, {name});
  root->setExpanded(true);
  tables->setExpanded(true);
}

void MdbViewer::OnItemClicked(QTreeWidgetItem* item) {
  if (item && item->data(0, kTableRole).toBool()) ShowTable(item->text(0));
}

bool MdbViewer::ShowTable(const QString& name) {
  std::optional<MdbRecords> records = bytes_.isEmpty() ? std::nullopt : ReadMdbTableApart(bytes_, name);
  if (!records) {
    model_->SetRecords({});
    status_->setText(tr("The records of %1 cannot be read.").arg(name));
    return false;
  }
  const qint64 loaded = records->rows.size();
  const qint64 total = qMax(records->total, loaded);
  model_->SetRecords(std::move(*records));
  status_->setText(tr("Loaded %1 of %2 total records").arg(loaded).arg(total));
  return true;
}

QString MdbViewer::Status() const { return status_->text(); }

}  // namespace dravik::preview
