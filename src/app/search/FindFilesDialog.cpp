#include "app/search/FindFilesDialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/ScreenFit.h"
#include "app/search/FoundFilesModel.h"
#include "app/search/SearchTexts.h"
#include "app/wizard/SaveController.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {

FindFilesDialog::FindFilesDialog(Wizard& wizard, QWidget* parent) : QDialog(parent), wizard_(wizard) {
  setWindowTitle(SearchTexts::kFindTitle);
  setModal(true);
  BuildLayout();
  resize(FitScreen(this, QSize(820, 520)));
  connect(start, &QPushButton::clicked, this, &FindFilesDialog::StartSearch);
  connect(stop, &QPushButton::clicked, this, &FindFilesDialog::StopSearch);
  connect(selectAll, &QPushButton::clicked, this, &FindFilesDialog::SelectAll);
  connect(save, &QPushButton::clicked, this, &FindFilesDialog::SaveSelected);
  SetSearching(false);
}

FindFilesDialog::~FindFilesDialog() {
  // The walk's thread reaches into this dialog until it returns.
  worker_.ConfirmStop();
  worker_.Join();
}

void FindFilesDialog::BuildLayout() {
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  pattern = new QLineEdit;
  start = new QPushButton(SearchTexts::kStartSearch);
  start->setDefault(true);
  stop = new QPushButton(SearchTexts::kStopSearch);
  stop->setAutoDefault(false);
  top->addWidget(new QLabel(SearchTexts::kPatternLabel));
  top->addWidget(pattern, 1);
  top->addWidget(start);
  top->addWidget(stop);
  layout->addLayout(top);

  model = new FoundFilesModel(this);
  results = new QTreeView;
  results->setModel(model);
  results->setRootIsDecorated(false);
  results->setUniformRowHeights(true);
  results->setAllColumnsShowFocus(true);
  const int widths[] = {200, 240, 90, 140, 140};
  for (int c = 0; c < FoundFilesModel::kId; ++c) results->setColumnWidth(c, widths[c]);
  results->setColumnHidden(FoundFilesModel::kId, true);
  layout->addWidget(results, 1);

  auto* counters = new QFormLayout;
  lastFile = new QLabel;
  lastFile->setTextFormat(Qt::PlainText);
  filesFound = new QLabel(QStringLiteral("0"));
  counters->addRow(SearchTexts::kLastFile, lastFile);
  counters->addRow(SearchTexts::kFilesFound, filesFound);
  layout->addLayout(counters);
  status = new QLabel;
  layout->addWidget(status);

  auto* bottom = new QHBoxLayout;
  selectAll = new QPushButton(SearchTexts::kSelectAll);
  selectAll->setCheckable(true);
  selectAll->setAutoDefault(false);
  save = new QPushButton(SearchTexts::kSaveSelected);
  save->setAutoDefault(false);
  bottom->addWidget(selectAll);
  bottom->addStretch();
  bottom->addWidget(save);
  layout->addLayout(bottom);
}

void FindFilesDialog::SetSearching(bool searching) {
  searching_ = searching;
  pattern->setEnabled(!searching);
  start->setEnabled(!searching);
  stop->setEnabled(searching);
  selectAll->setEnabled(!searching);
  save->setEnabled(!searching);
}

void FindFilesDialog::StartSearch() {
  Session& session = wizard_.session();
  if (searching_ || !session.Tree()) return;
  selectAll->setChecked(false);
  selectAll->setText(SearchTexts::kSelectAll);
  model->Clear();
  lastFile->clear();
  filesFound->setText(QStringLiteral("0"));
  status->clear();
  {
    std::lock_guard lock(mutex_);
    pending_.clear();
    posted_ = false;
  }
  SetSearching(true);
  const int run = ++run_;
  const std::u16string text = pattern->text().toStdU16String();
  worker_.Start([this, run, text, &session](ScanControl& control) {
    SearchFiles(session.Store(), *session.Tree(), text, control, [this](SearchHit hit) { Found(std::move(hit)); });
    QMetaObject::invokeMethod(this, [this, run] { EndSearch(run); }, Qt::QueuedConnection);
  });
}

void FindFilesDialog::Found(SearchHit hit) {
  std::lock_guard lock(mutex_);
  pending_.push_back(std::move(hit));
  if (posted_) return;
  posted_ = true;
  QMetaObject::invokeMethod(this, [this] { DeliverHits(); }, Qt::QueuedConnection);
}

void FindFilesDialog::DeliverHits() {
  std::vector<SearchHit> hits;
  {
    std::lock_guard lock(mutex_);
    hits.swap(pending_);
    posted_ = false;
  }
  if (hits.empty()) return;
  lastFile->setText(QString::fromStdU16String(hits.back().name));
  model->Append(std::move(hits));
  filesFound->setText(QString::number(model->rowCount()));
}

void FindFilesDialog::EndSearch(int run) {
  if (run != run_ || !searching_) return;
  // The walk posted this as its last step: what is left of its thread is short.
  worker_.Join();
  DeliverHits();
  SetSearching(false);
  const int rows = model->rowCount();
  if (rows == 0) {
    status->setText(SearchTexts::kNoResults);
    lastFile->clear();
    filesFound->setText(QStringLiteral("0"));
  } else {
    status->setText(QString::fromLatin1(SearchTexts::kFilesFoundStatus).arg(rows));
  }
}

void FindFilesDialog::StopSearch() {
  if (!searching_) return;
  worker_.Pause();
  if (!wizard_.messenger().Ask(SearchTexts::kStopQuestion)) {
    worker_.Resume();
    return;
  }
  EndNow();
}

// Ends the walk at its next record and waits for its thread; the files found
// until then stay listed.
void FindFilesDialog::EndNow() {
  if (!searching_) return;
  worker_.ConfirmStop();
  worker_.Join();
  DeliverHits();
  SetSearching(false);
}

void FindFilesDialog::SelectAll(bool checked) {
  const bool all = checked && model->rowCount() > 0;
  model->CheckAll(all);
  selectAll->setChecked(all);
  selectAll->setText(all ? SearchTexts::kUnselectAll : SearchTexts::kSelectAll);
}

void FindFilesDialog::SaveSelected() {
  if (searching_) return;
  wizard_.saving().SaveFound(model->CheckedRecords());
}

void FindFilesDialog::reject() {
  EndNow();
  QDialog::reject();
}

}  // namespace dravik::app
