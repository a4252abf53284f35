#include "app/wizard/ResultsPage.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/results/PropertiesDialog.h"
#include "app/results/TraceModels.h"
#include "preview/PreviewPane.h"
#include "save/SaveDriver.h"

namespace dravik::app {

namespace {

// The wait cursor while a large folder is listed on the interface thread.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

ResultsPage::ResultsPage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  mode = new QLabel;
  layout->addWidget(mode);
  filterBar = new QFrame;
  static_cast<QFrame*>(filterBar)->setFrameShape(QFrame::StyledPanel);
  filterBar->setBackgroundRole(QPalette::ToolTipBase);
  filterBar->setAutoFillBackground(true);
  auto* filterLayout = new QHBoxLayout(filterBar);
  filterLayout->setContentsMargins(6, 3, 6, 3);
  auto* filterIcon = new QLabel;
  const int iconSide = style()->pixelMetric(QStyle::PM_SmallIconSize);
  filterIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(iconSide, iconSide));
  filterLayout->addWidget(filterIcon);
  filterText = new QLabel;
  filterText->setTextFormat(Qt::PlainText);
  filterText->setWordWrap(true);
  filterText->setForegroundRole(QPalette::ToolTipText);
  filterLayout->addWidget(filterText, 1);
  clearFilters = new QPushButton(tr("Clear Filters"));
  clearFilters->setAutoDefault(false);
  filterLayout->addWidget(clearFilters);
  filterBar->hide();
  layout->addWidget(filterBar);
  connect(clearFilters, &QPushButton::clicked, this, &ResultsPage::ClearFilters);
  treeModel = new FolderTreeModel(this);
  listModel = new FileListModel(this);
  traceTreeModel = new TraceTreeModel(this);
  traceListModel = new TraceListModel(this);
  splitter = new QSplitter;
  splitter->setObjectName(QStringLiteral("resultsSplitter"));
  folders = new QTreeView;
  folders->setHeaderHidden(true);
  folders->setUniformRowHeights(true);
  folders->setMinimumWidth(200);
  splitter->addWidget(folders);
  views = new QStackedWidget;
  details = new QTreeView;
  details->setRootIsDecorated(false);
  details->setUniformRowHeights(true);
  details->setAllColumnsShowFocus(true);
  details->setSortingEnabled(true);
  details->sortByColumn(-1, Qt::AscendingOrder);
  details->setContextMenuPolicy(Qt::CustomContextMenu);
  details->setEditTriggers(QAbstractItemView::EditKeyPressed);
  icons = new QListView;
  icons->setContextMenuPolicy(Qt::CustomContextMenu);
  icons->setEditTriggers(QAbstractItemView::EditKeyPressed);
  views->addWidget(details);
  views->addWidget(icons);
  listAndPreview = new QSplitter(Qt::Vertical);
  listAndPreview->setObjectName(QStringLiteral("listAndPreview"));
  listAndPreview->addWidget(views);
  preview = new preview::PreviewPane;
  listAndPreview->addWidget(preview);
  listAndPreview->setStretchFactor(0, 3);
  listAndPreview->setStretchFactor(1, 2);
  const QList<int> listAndPreviewSizes{300, 220};
  listAndPreview->setSizes(listAndPreviewSizes);
  // Reset Layout sizes it so again.
  listAndPreview->setProperty("builtSizes", QVariant::fromValue(listAndPreviewSizes));
  splitter->addWidget(listAndPreview);
  splitter->setStretchFactor(1, 1);
  const QList<int> splitterSizes{260, 640};
  splitter->setSizes(splitterSizes);
  // Reset Layout sizes it so again.
  splitter->setProperty("builtSizes", QVariant::fromValue(splitterSizes));
  layout->addWidget(splitter, 1);
  auto* buttons = new QHBoxLayout;
  home = new QPushButton(style()->standardIcon(QStyle::SP_DirHomeIcon), tr("Home"));
  back = new QPushButton(style()->standardIcon(QStyle::SP_ArrowBack), tr("Back"));
  selectedSize = new QLabel(QString::fromStdString(SelectedSizeText(0)));
  recover = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton), AppTexts::kRecoverButton);
  // A save starts only from a click or its own keys: never from Enter, which
  // may be meant for the list or left over from a message box just closed.
  for (QPushButton* button : {home, back, recover}) button->setAutoDefault(false);
  buttons->addWidget(home);
  buttons->addWidget(back);
  buttons->addStretch();
  buttons->addWidget(selectedSize);
  buttons->addSpacing(12);
  buttons->addWidget(recover);
  layout->addLayout(buttons);

  AttachModels(treeModel, listModel, {200, 100, 100, 150, 150, 150});
  // Both tree models number their nodes in the indexes' internal ids.
  // A click anywhere on a folder, its check box too, highlights and lists it.
  connect(folders, &QTreeView::clicked, this, [this](const QModelIndex& index) {
    folders->setCurrentIndex(index);
    ShowNode(index.internalId());
  });
  folders->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(folders, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = folders->indexAt(at);
    if (!index.isValid() || (!trace_ && !tree_)) return;
    folders->setCurrentIndex(index);
    Q_EMIT FolderMenuAsked(folders->viewport()->mapToGlobal(at), index.internalId());
  });
  connect(details, &QTreeView::activated, this, [this](const QModelIndex& index) { OpenRow(index.row()); });
  connect(icons, &QListView::activated, this, [this](const QModelIndex& index) { OpenRow(index.row()); });
  connect(treeModel, &FolderTreeModel::ChecksChanged, this, [this] {
    listModel->RefreshChecks();
    UpdateSelectedSize();
  });
  connect(traceTreeModel, &TraceTreeModel::ChecksChanged, traceListModel, &TraceListModel::RefreshChecks);
  connect(traceListModel, &TraceListModel::ChecksChanged, traceTreeModel, &TraceTreeModel::RefreshChecks);
  connect(listModel, &FileListModel::FolderRenamed, treeModel, &FolderTreeModel::RefreshLabel);
  connect(listModel, &FileListModel::ChecksChanged, this, [this] {
    treeModel->RefreshChecks();
    UpdateSelectedSize();
  });
  const auto menu = [this](QAbstractItemView* view) {
    return [this, view](const QPoint& at) {
      if (view->indexAt(at).isValid() && !OnCheckBox(view, at))
        Q_EMIT ContextMenuAsked(view->viewport()->mapToGlobal(at));
    };
  };
  connect(details, &QWidget::customContextMenuRequested, this, menu(details));
  connect(icons, &QWidget::customContextMenuRequested, this, menu(icons));
}

void ResultsPage::AttachModels(QAbstractItemModel* tree, QAbstractItemModel* list, const std::vector<int>& widths) {
  // A view does not free the selection model of the model it lets go.
  const auto replace = [](QAbstractItemView* view, QAbstractItemModel* model) {
    QItemSelectionModel* old = view->selectionModel();
    view->setModel(model);
    delete old;
  };
  if (folders->model() != tree) {
    replace(folders, tree);
    connect(folders->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) { if (index.isValid()) ShowNode(index.internalId()); });
  }
  if (details->model() != list) {
    replace(details, list);
    replace(icons, list);
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(details), static_cast<QAbstractItemView*>(icons)})
      connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
              [this](const QModelIndex& index) { if (index.isValid()) Q_EMIT RowChosen(index.row()); });
    for (std::size_t c = 0; c < widths.size(); ++c) details->setColumnWidth(static_cast<int>(c), widths[c]);
  }
}

void ResultsPage::UseSaveRules(FilterList& filter, const RecoverySettings& settings) {
  filter_ = &filter;
  settings_ = &settings;
  UpdateFilterBar();
}

void ResultsPage::SetTraceResult(TraceTree* tree) {
  SetResult(nullptr, nullptr);
  trace_ = tree;
  traceTreeModel->SetTree(tree);
  traceListModel->SetTree(tree);
  if (!tree) return;
  AttachModels(traceTreeModel, traceListModel, {200, 100, 150});
  selectedSize->hide();
  folders->expand(traceTreeModel->IndexOf(TraceTree::kRoot));
  folders->setCurrentIndex(traceTreeModel->IndexOf(TraceTree::kRoot));
}

void ResultsPage::SetResult(ResultTree* tree, RecoveryStore* store) {
  preview->Clear();
  trace_ = nullptr;
  traceTreeModel->SetTree(nullptr);
  traceListModel->SetTree(nullptr);
  AttachModels(treeModel, listModel, {200, 100, 100, 150, 150, 150});
  selectedSize->show();
  tree_ = tree;
  store_ = store;
  treeModel->SetTree(tree);
  listModel->SetTree(tree, store);
  if (tree) {
    folders->expand(treeModel->IndexOf(ResultTree::kRoot));
    ShowNode(ResultTree::kRoot);
    folders->setCurrentIndex(treeModel->IndexOf(ResultTree::kRoot));
  }
  UpdateSelectedSize();
}

void ResultsPage::ShowNode(std::size_t node) {
  if (trace_) {
    if (node != traceListModel->Node()) {
      preview->Clear();
      Q_EMIT FolderChanged();
    }
    traceListModel->ShowNode(node);
    return;
  }
  if (!tree_ || !filter_) return;
  if (listModel->FolderNode() == node && listModel->rowCount() > 0) return;
  WaitCursor wait;
  ListFolder(node);
}

void ResultsPage::ListFolder(std::size_t node) {
  if (node != listModel->FolderNode()) {
    preview->Clear();
    Q_EMIT FolderChanged();
  }
  listModel->ShowFolder(node, *filter_);
}

void ResultsPage::RefreshList() {
  if (tree_ && filter_) listModel->ShowFolder(listModel->FolderNode(), *filter_);
  UpdateFilterBar();
  UpdateSelectedSize();
}

void ResultsPage::ClearFilters() {
  if (!filter_) return;
  filter_->Clear();
  RefreshList();
}

void ResultsPage::UpdateFilterBar() {
  if (!filter_ || filter_->Empty()) {
    filterBar->hide();
    return;
  }
  QStringList patterns;
  for (const std::u16string& pattern : filter_->Patterns()) patterns << QString::fromStdU16String(pattern);
  filterText->setText(tr("File Filters are on: only files whose names match %1 are listed and saved.")
                          .arg(patterns.join(QStringLiteral(", "))));
  filterBar->show();
}

void ResultsPage::OpenRow(int row) {
  if (trace_) return;
  const ListRow* item = listModel->Row(row);
  if (!item || !tree_) return;
  std::size_t node;
  if (item->kind == ListRow::Kind::kParent)
    node = tree_->Node(listModel->FolderNode()).parent;
  else if (item->kind == ListRow::Kind::kFolder)
    node = static_cast<std::size_t>(item->id);
  else
    return;
  const QModelIndex index = treeModel->IndexOf(node);
  folders->expand(index);
  WaitCursor wait;
  folders->setCurrentIndex(index);
  ListFolder(node);
}

void ResultsPage::SetViewStyle(ViewStyle style) {
  if (style == ViewStyle::kDetails) {
    views->setCurrentWidget(details);
    return;
  }
  icons->setViewMode(style == ViewStyle::kIcons ? QListView::IconMode : QListView::ListMode);
  icons->setFlow(style == ViewStyle::kIcons ? QListView::LeftToRight : QListView::TopToBottom);
  icons->setWrapping(true);
  icons->setResizeMode(QListView::Adjust);
  icons->setGridSize(style == ViewStyle::kIcons ? QSize(120, 80) : QSize());
  icons->setWordWrap(style == ViewStyle::kIcons);
  views->setCurrentWidget(icons);
}

void ResultsPage::UpdateSelectedSize() {
  SelectedFiles selected;
  if (tree_ && store_ && filter_ && settings_) selected = CountSelected(*store_, *tree_, *settings_, *filter_);
  selectedSize->setText(QString::fromStdString(SelectedSizeText(selected.bytes)));
  selectedSize->setToolTip(
      selected.filteredOut > 0
          ? tr("%1 checked files are left out by the File Filters and not counted.").arg(selected.filteredOut)
          : QString());
}

QAbstractItemView* ResultsPage::ShownView() const {
  return views->currentWidget() == details ? static_cast<QAbstractItemView*>(details) : icons;
}

bool ResultsPage::OnCheckBox(QAbstractItemView* view, const QPoint& at) const {
  const QModelIndex index = view->indexAt(at);
  if (!index.isValid() || !(view->model()->flags(index) & Qt::ItemIsUserCheckable)) return false;
  // The box is drawn first in the cell, after the item's margin.
  const QStyle* look = view->style();
  const int margin = look->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
  const int box = look->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, view);
  const int offset = at.x() - view->visualRect(index).left();
  return view == details && offset >= 0 && offset < 2 * margin + box;
}

int ResultsPage::CurrentRow() const {
  const QModelIndex index = ShownView()->currentIndex();
  return index.isValid() ? index.row() : -1;
}

void ResultsPage::RenameCurrent() {
  const int row = CurrentRow();
  if (row < 0 || trace_) return;
  QAbstractItemView* view = ShownView();
  const QModelIndex name = listModel->index(row, FileListModel::kName);
  if (!(listModel->flags(name) & Qt::ItemIsEditable)) return;
  view->setCurrentIndex(name);
  view->edit(name);
}

std::optional<ItemProperties> ResultsPage::CurrentProperties() const {
  const ListRow* row = trace_ ? nullptr : listModel->Row(CurrentRow());
  if (!row || !tree_ || !store_) return std::nullopt;
  return PropertiesOf(*store_, *tree_, *row);
}

void ResultsPage::ShowProperties() {
  const auto properties = CurrentProperties();
  if (!properties) return;
  PropertiesDialog dialog(*properties, this);
  dialog.exec();
}

void ResultsPage::SetFolderChecked(std::size_t node, bool checked) {
  const CheckState wanted = checked ? CheckState::kChecked : CheckState::kUnchecked;
  const QVariant click = checked ? Qt::Checked : Qt::Unchecked;
  if (trace_) {
    if (node >= trace_->Nodes().size()) return;
    // A type's box turns to checked unless it is checked already: one click settles it.
    if (trace_->State(node) != wanted)
      traceTreeModel->setData(traceTreeModel->IndexOf(node), click, Qt::CheckStateRole);
    return;
  }
  if (!tree_ || node >= tree_->Nodes().size()) return;
  // A partly checked folder may take two clicks: one to settle it, one to turn it.
  for (int click = 0; click < 2 && tree_->Node(node).state != wanted; ++click)
    treeModel->setData(treeModel->IndexOf(node), click, Qt::CheckStateRole);
}

std::optional<ItemProperties> ResultsPage::FolderProperties(std::size_t node) const {
  if (!tree_ || !store_ || node >= tree_->Nodes().size()) return std::nullopt;
  ListRow row{ListRow::Kind::kFolder, tree_->Node(node).label, "Folder", {}, "", "", node, false, 0, {}, {}};
  if (node != ResultTree::kRoot) {
    const TreeNode& parent = tree_->Node(tree_->Node(node).parent);
    for (const ListRow& listed : tree_->ShowFolder(parent.folderId, FilterList{}))
      if (listed.kind == ListRow::Kind::kFolder && listed.id == node) row = listed;
  }
  return PropertiesOf(*store_, *tree_, row);
}

void ResultsPage::ShowFolderProperties(std::size_t node) {
  const auto properties = FolderProperties(node);
  if (!properties) return;
  PropertiesDialog dialog(*properties, this);
  dialog.exec();
}

}  // namespace dravik::app
