// The results page, Find File(s) and File Filters as a user sees them: over a handful of records with hostile
// names, and on the FAT fixtures.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeView>
#include <fstream>
#include <set>

#include "WindowTest.h"
#include "app/search/FileFiltersDialog.h"
#include "app/search/FindFilesDialog.h"
#include "app/search/FoundFilesModel.h"
#include "app/search/SearchTexts.h"
#include "preview/PreviewPane.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {
namespace {

constexpr std::uint64_t kDay = 864000000000ull;  // in 100 ns ticks
constexpr std::uint64_t kFileTime2020 = 132223104000000000ull;

TEST(FileListSortTest, ParentAndFoldersFirstRowsWholeTiesKeptNumbersByValue) {
  RecoveryStore store;
  store.AddFolder({.name = u"dir", .id = 64, .parentId = kNtfsRootId});
  store.AddFolder({.name = u"Zeta", .id = 70, .parentId = 64});
  store.AddFolder({.name = u"alpha", .id = 71, .parentId = 64});
  store.AddFolder({.name = u"music", .id = 80, .parentId = kNtfsRootId});
  std::uint32_t id = 100;
  for (const auto& [name, size, day] : std::vector<std::tuple<std::u16string, std::uint64_t, int>>{
           {u"b.TXT", 10, 3}, {u"A.txt", 30, 1}, {u"c.txt", 10, 4}, {u"B2.doc", 30, 2}, {u"d", 5, 0}}) {
    const std::uint64_t moment = kFileTime2020 + static_cast<std::uint64_t>(day) * kDay;
    store.AddFile({.name = name, .id = id, .parentId = 64, .times = ItemTimes::FileTimes(moment, moment, 0),
                   .size = size, .key = 1000u + id, .locator = 1000u + id});
    ++id;
  }
  for (const std::u16string name : {u"song_10.mp3", u"Song_2.mp3", u"song_1.mp3", u"song_009.mp3", u"song_2a.mp3"})
    store.AddFile({.name = name, .id = id, .parentId = 80, .size = 1, .key = 1000u + id, .locator = 1000u + id}), ++id;
  ResultTree tree = ResultTree::Build(store, FsFamily::kNtfs);
  FileListModel model;
  model.SetTree(&tree, &store);
  const FilterList none;
  // Each row as the model has it, after the folder is listed again when one is named.
  const auto rows = [&](const char16_t* folder) {
    if (folder) model.ShowFolder(*tree.FindFolder(folder), none);
    std::vector<std::string> texts;  // "name:size:id", size and id only for files
    for (int r = 0; r < model.rowCount(); ++r) {
      const ListRow* row = model.Row(r);
      texts.push_back(QString::fromStdU16String(row->name).toStdString() +
                      (row->kind == ListRow::Kind::kFile ? ":" + std::to_string(*row->size) + ":" + std::to_string(row->id) : ""));
    }
    return texts;
  };
  using Texts = std::vector<std::string>;
  model.ShowFolder(*tree.FindFolder(u"dir"), none);
  // Each sort starts from the order the last one left: ties keep it.
  const struct { const char* name; int column; Qt::SortOrder order; const char16_t* folder; Texts expected; } kRows[] = {
      {"name up", FileListModel::kName, Qt::AscendingOrder, nullptr,
       {"Parent...", "alpha", "Zeta", "A.txt:30:1101", "b.TXT:10:1100", "B2.doc:30:1103", "c.txt:10:1102", "d:5:1104"}},
      {"name down, listed again", FileListModel::kName, Qt::DescendingOrder, u"dir",
       {"Parent...", "Zeta", "alpha", "d:5:1104", "c.txt:10:1102", "B2.doc:30:1103", "b.TXT:10:1100", "A.txt:30:1101"}},
      {"size down, ties as listed", FileListModel::kSize, Qt::DescendingOrder, nullptr,
       {"Parent...", "Zeta", "alpha", "B2.doc:30:1103", "A.txt:30:1101", "c.txt:10:1102", "b.TXT:10:1100", "d:5:1104"}},
      {"modified up", FileListModel::kModified, Qt::AscendingOrder, nullptr,
       {"Parent...", "Zeta", "alpha", "d:5:1104", "A.txt:30:1101", "B2.doc:30:1103", "b.TXT:10:1100", "c.txt:10:1102"}},
      {"type up", FileListModel::kType, Qt::AscendingOrder, nullptr,
       {"Parent...", "Zeta", "alpha", "B2.doc:30:1103", "d:5:1104", "A.txt:30:1101", "b.TXT:10:1100", "c.txt:10:1102"}},
      {"numbers by value, kept for the next folder", FileListModel::kName, Qt::DescendingOrder, u"music",
       {"Parent...", "song_10.mp3:1:1105", "song_009.mp3:1:1108", "song_2a.mp3:1:1109", "Song_2.mp3:1:1106", "song_1.mp3:1:1107"}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    model.sort(row.column, row.order);
    EXPECT_EQ(rows(row.folder), row.expected);
  }
  model.sort(-1, Qt::AscendingOrder);  // the engine's order again
  EXPECT_EQ(rows(u"music")[1], "song_10.mp3:1:1105");
}

// Root: Docs/Sub/Deep, a folder named "../../x"; files with a newline, a
// 300-character name, a lone surrogate, a deleted one. No name has a preview.
class ResultViewsTest : public WindowTest {
 protected:
  static constexpr std::uint32_t kDocs = 2, kSub = 3, kDeep = 4, kDots = 5;
  void SetUp() override {
    WindowTest::SetUp();
    ShowRecords({{u"Docs", kDocs, kFatRootId}, {u"Sub", kSub, kDocs}, {u"Deep", kDeep, kSub}, {u"../../x", kDots, kFatRootId}},
                {{u"notes.xyz", kDocs, 3000}, {u"deeper.xyz", kDeep, 10}, {u"line\nbreak", kFatRootId, 7u << 20},
                 {kLong, kFatRootId, 5u << 20}, {std::u16string(u"bad") + char16_t(0xD800) + u"half", kFatRootId, 3},
                 {u"gone.xyz", kFatRootId, 4, true}, {u"../../x", kDots, 5}});
    results_ = wizard_->results;
    tree_ = wizard_->session().Tree();
  }
  int State(std::size_t node) const {
    return results_->treeModel->data(results_->treeModel->IndexOf(node), Qt::CheckStateRole).toInt();
  }
  void SetState(std::size_t node, Qt::CheckState state) {
    results_->treeModel->setData(results_->treeModel->IndexOf(node), state, Qt::CheckStateRole);
  }
  const std::u16string kLong = std::u16string(296, u'n') + u".xyz";
  ResultsPage* results_ = nullptr;
  ResultTree* tree_ = nullptr;
};

TEST_F(ResultViewsTest, HostileNamesAreListedAsTheyAreAndNeverAsPaths) {
  EXPECT_EQ(results_->treeModel->rowCount(results_->treeModel->IndexOf(ResultTree::kRoot)), 2) << "Docs and ../../x";
  FileListModel* list = results_->listModel;
  for (const std::u16string& name : {std::u16string(u"line\nbreak"), kLong, std::u16string(u"gone.xyz")}) {
    const int row = RowNamed(name);
    ASSERT_GE(row, 0) << QString::fromStdU16String(name).toStdString();
    EXPECT_EQ(list->data(list->index(row, FileListModel::kName), Qt::DisplayRole).toString(), QString::fromStdU16String(name));
  }
  EXPECT_GE(RowNamed(std::u16string(u"bad") + char16_t(0xD800) + u"half"), 0);
  const int dots = RowNamed(u"../../x");
  ASSERT_GE(dots, 0);
  results_->OpenRow(dots);
  EXPECT_EQ(list->rowCount(), 2) << "Parent... and the file named like its folder";
  EXPECT_EQ(list->Row(1)->name, u"../../x");
}

TEST_F(ResultViewsTest, ParentRowIsNeverCheckableAndUncheckingTheLastChildClearsAncestors) {
  const std::size_t docs = *tree_->FindFolder(u"Docs"), sub = *tree_->FindFolder(u"Docs/Sub"), deep = *tree_->FindFolder(u"Docs/Sub/Deep");
  ASSERT_EQ(State(ResultTree::kRoot), Qt::Checked);
  SetState(ResultTree::kRoot, Qt::Unchecked);
  SetState(deep, Qt::Checked);
  EXPECT_EQ(State(sub), Qt::Checked) << "Sub holds only Deep";
  EXPECT_EQ(State(docs), Qt::PartiallyChecked);
  EXPECT_EQ(State(ResultTree::kRoot), Qt::PartiallyChecked);
  results_->folders->setCurrentIndex(results_->treeModel->IndexOf(deep));
  FileListModel* list = results_->listModel;
  ASSERT_EQ(list->FolderNode(), deep);
  ASSERT_EQ(list->rowCount(), 2);
  EXPECT_EQ(list->Row(0)->kind, ListRow::Kind::kParent);
  EXPECT_FALSE(list->flags(list->index(0, 0)).testFlag(Qt::ItemIsUserCheckable));
  EXPECT_FALSE(list->setData(list->index(0, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_FALSE(list->data(list->index(0, 0), Qt::CheckStateRole).isValid());
  EXPECT_EQ(list->data(list->index(1, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
  list->setData(list->index(1, 0), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(list->data(list->index(1, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  SetState(deep, Qt::Unchecked);  // Deep left without anything checked: every ancestor so left is cleared
  EXPECT_EQ(State(deep), Qt::Unchecked);
  EXPECT_EQ(State(sub), Qt::Unchecked);
  EXPECT_EQ(State(docs), Qt::Unchecked);
  EXPECT_EQ(State(ResultTree::kRoot), Qt::Unchecked);
  results_->OpenRow(0);
  EXPECT_EQ(list->FolderNode(), sub) << "Parent... lists the parent";
  // With nothing checked, Recover says so and asks for no folder.
  EXPECT_FALSE(AsksForFolder([&] { QTest::mouseClick(results_->recover, Qt::LeftButton); }));
  EXPECT_EQ(Last(), QString(AppTexts::kNothingMarked));
}

TEST_F(ResultViewsTest, RenamedItemsShowTheirNewNamesAndPropertiesCountTheSubtree) {
  const std::size_t docs = *tree_->FindFolder(u"Docs");
  results_->folders->setCurrentIndex(results_->treeModel->IndexOf(docs));
  FileListModel* list = results_->listModel;
  const int notes = RowNamed(u"notes.xyz");
  ASSERT_GE(notes, 0);
  results_->details->setCurrentIndex(list->index(notes, FileListModel::kName));
  EXPECT_FALSE(list->setData(list->index(notes, FileListModel::kName), QString(), Qt::EditRole)) << "an empty name";
  results_->RenameCurrent();
  auto* editor = results_->details->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr) << "Rename opens the name's editor";
  editor->setText(QStringLiteral("Renamed.abc"));
  QTest::keyClick(editor, Qt::Key_Return);
  EXPECT_TRUE(QTest::qWaitFor([&] { return list->Row(notes)->name == u"Renamed.abc"; }, 5000));
  const QString type = list->data(list->index(notes, FileListModel::kType), Qt::DisplayRole).toString();
  EXPECT_TRUE(type.startsWith(QStringLiteral("ABC"))) << type.toStdString();
  ASSERT_TRUE(results_->CurrentProperties());
  EXPECT_EQ(results_->CurrentProperties()->name, u"Renamed.abc");
  const int sub = RowNamed(u"Sub");
  ASSERT_TRUE(list->setData(list->index(sub, FileListModel::kName), QStringLiteral("Moved"), Qt::EditRole));
  EXPECT_EQ(results_->treeModel->data(results_->treeModel->IndexOf(*tree_->FindFolder(u"Docs/Moved")), Qt::DisplayRole).toString(),
            QStringLiteral("Moved"));
  const auto properties = results_->FolderProperties(docs);
  ASSERT_TRUE(properties);
  EXPECT_EQ(properties->contains.rfind("2 File(s) and 2 Folder", 0), 0u) << properties->contains;
}

// Types the pattern, starts the search and waits for its end; the names found.
std::vector<std::u16string> Search(FindFilesDialog& dialog, const QString& pattern) {
  dialog.pattern->setText(pattern);
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.Searching(); }, 10000));
  std::vector<std::u16string> names;
  for (int r = 0; r < dialog.model->rowCount(); ++r) names.push_back(dialog.model->Hit(r)->name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ResultViewsTest, FindFilesListsWhatThePatternTakesAndItsButtonsFollowTheSearch) {
  EXPECT_TRUE(window_->Command("findFiles")->isEnabled());
  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  using Names = std::vector<std::u16string>;
  const struct { const char* pattern; Names found; } kRows[] = {
      {"*.xyz", {u"deeper.xyz", u"gone.xyz", kLong, u"notes.xyz"}},
      {"line?break", {u"line\nbreak"}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.pattern);
    EXPECT_EQ(Search(dialog, QString::fromLatin1(row.pattern)), row.found);
    EXPECT_EQ(dialog.filesFound->text(), QString::number(row.found.size()));
    EXPECT_TRUE(dialog.start->isEnabled());
    EXPECT_FALSE(dialog.stop->isEnabled());
  }
  EXPECT_EQ(Search(dialog, QStringLiteral("*")).size(), wizard_->session().Store().Files().size());
  EXPECT_TRUE(Search(dialog, QStringLiteral("no such name")).empty());
  EXPECT_EQ(dialog.status->text(), QString(SearchTexts::kNoResults));
  // Stop, asked while the search is held before its first record: No goes on to the end, Yes ends it.
  int rowsWhileAsked = -1;
  onQuestion_ = [&](const QString&) { rowsWhileAsked = dialog.model->rowCount(); return kNo; };
  dialog.pattern->setText(QStringLiteral("*"));
  dialog.HoldNextSearch();
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  EXPECT_FALSE(dialog.start->isEnabled());
  EXPECT_FALSE(dialog.pattern->isEnabled());
  QTest::mouseClick(dialog.stop, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(SearchTexts::kStopQuestion));
  EXPECT_EQ(rowsWhileAsked, 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Searching(); }, 10000));
  EXPECT_EQ(static_cast<std::size_t>(dialog.model->rowCount()), wizard_->session().Store().Files().size());
  onQuestion_ = [](const QString&) { return kYes; };
  dialog.HoldNextSearch();
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  QTest::mouseClick(dialog.stop, Qt::LeftButton);
  EXPECT_FALSE(dialog.Searching());
  EXPECT_TRUE(dialog.start->isEnabled());
  EXPECT_FALSE(dialog.stop->isEnabled());
  QTest::qWait(0);
  EXPECT_EQ(dialog.model->rowCount(), 0) << "nothing arrives after the stop";
  // Select All over every row and back; with nothing checked nothing is saved.
  Search(dialog, QStringLiteral("*.xyz"));
  QTest::mouseClick(dialog.selectAll, Qt::LeftButton);
  EXPECT_EQ(dialog.model->CheckedRecords().size(), 4u);
  QTest::mouseClick(dialog.selectAll, Qt::LeftButton);
  EXPECT_TRUE(dialog.model->CheckedRecords().empty());
  EXPECT_FALSE(AsksForFolder([&] { QTest::mouseClick(dialog.save, Qt::LeftButton); }));
  EXPECT_EQ(Last(), QString(AppTexts::kNothingMarked));
  // Back: the commands need results.
  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(results_->back, Qt::LeftButton);
  EXPECT_FALSE(window_->Command("findFiles")->isEnabled());
  EXPECT_FALSE(window_->Command("fileFilters")->isEnabled());
}

TEST_F(ResultViewsTest, MenusOpenOnRowsButNotOnCheckBoxesAndTheTreesMenuChecks) {
  PickFromMenus(QStringLiteral("&Uncheck"));
  QTreeView* view = results_->details;
  const QRect name = view->visualRect(results_->listModel->index(1, FileListModel::kName));
  const QRect type = view->visualRect(results_->listModel->index(1, FileListModel::kType));
  Q_EMIT view->customContextMenuRequested(QPoint(name.left() + 4, name.center().y()));
  EXPECT_TRUE(menus_.empty()) << "a right click on the check box shows no menu";
  Q_EMIT view->customContextMenuRequested(type.center());
  EXPECT_EQ(menus_.size(), 1u);
  Q_EMIT view->customContextMenuRequested(QPoint(type.center().x(), view->viewport()->height() - 2));
  EXPECT_EQ(menus_.size(), 1u) << "no menu below the last row";
  const QModelIndex docs = results_->treeModel->IndexOf(*tree_->FindFolder(u"Docs"));
  results_->folders->scrollTo(docs);
  Q_EMIT results_->folders->customContextMenuRequested(results_->folders->visualRect(docs).center());
  EXPECT_EQ(results_->treeModel->data(docs, Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(results_->folders->currentIndex(), docs);
  EXPECT_EQ(results_->listModel->FolderNode(), *tree_->FindFolder(u"Docs"));
  // None while Find File(s) is open; back once it has closed.
  const QPoint onRow = view->visualRect(results_->listModel->index(1, FileListModel::kType)).center();
  menus_.clear();
  WithModal<FindFilesDialog>(*window_, "findFiles", [&](FindFilesDialog&) {
    Q_EMIT view->customContextMenuRequested(onRow);
    EXPECT_TRUE(menus_.empty());
  });
  Q_EMIT view->customContextMenuRequested(onRow);
  EXPECT_EQ(menus_.size(), 1u);
}

TEST_F(ResultViewsTest, AFilterHidesOtherFilesFromTheListAndTheSelectedSize) {
  const FilterList& filter = wizard_->session().filter;
  const QString before = results_->selectedSize->text();
  WithModal<FileFiltersDialog>(*window_, "fileFilters", [&](FileFiltersDialog& dialog) {
    const auto add = [&](const QString& text) {
      dialog.text->setText(text);
      QTest::mouseClick(dialog.add, Qt::LeftButton);
    };
    add(QStringLiteral("abcdefghijklmnopqrst"));  // one too long: refused, its first 19 characters selected
    EXPECT_EQ(messages_.size(), 1u);
    EXPECT_EQ(dialog.text->selectedText(), QStringLiteral("abcdefghijklmnopqrs"));
    EXPECT_EQ(dialog.list->count(), 0);
    add(QStringLiteral("*.NOPE"));
    add(QStringLiteral("*.XYZ"));
    add(QStringLiteral("*.XYZ"));
    EXPECT_EQ(messages_.size(), 2u) << "the duplicate is refused";
    EXPECT_EQ(dialog.list->count(), 2);
    dialog.list->setCurrentRow(0);
    QTest::mouseClick(dialog.remove, Qt::LeftButton);
    EXPECT_EQ(dialog.list->item(0)->text(), QStringLiteral("*.XYZ"));
  });
  ASSERT_EQ(filter.Patterns().size(), 1u);
  WithModal<FileFiltersDialog>(*window_, "fileFilters", [&](FileFiltersDialog& dialog) {
    EXPECT_EQ(dialog.list->count(), 1) << "the list lives on";
  });
  EXPECT_TRUE(results_->filterBar->isVisible());
  EXPECT_TRUE(results_->filterText->text().contains(QStringLiteral("*.XYZ")));
  EXPECT_NE(results_->selectedSize->text(), before);
  EXPECT_EQ(RowNamed(u"line\nbreak"), -1);
  EXPECT_GE(RowNamed(kLong), 0);
  EXPECT_GE(RowNamed(u"Docs"), 0) << "every folder stays";
  // A filter that no checked file matches: Recover says so and asks for no folder.
  wizard_->session().filter.Clear();
  ASSERT_EQ(wizard_->session().filter.Add(u"*.nomatch"), FilterList::AddResult::kAdded);
  results_->RefreshList();
  EXPECT_FALSE(AsksForFolder([&] { QTest::mouseClick(results_->recover, Qt::LeftButton); }));
  EXPECT_EQ(messages_.back().second, MessageKind::kError);
  QTest::mouseClick(results_->clearFilters, Qt::LeftButton);
  EXPECT_TRUE(filter.Empty());
  EXPECT_FALSE(results_->filterBar->isVisible());
  EXPECT_EQ(results_->selectedSize->text(), before);
  EXPECT_GE(RowNamed(u"line\nbreak"), 0);
}

class ResultsPageTest : public WindowTest {
 protected:
  bool StillOnTheResults() const { return wizard_->CurrentPage() == Wizard::kResults && wizard_->session().Tree() != nullptr; }
};

// A root file previewed, then a click on Docs' check box: Docs unchecked, highlighted and listed, no preview.
// No key on the page starts a save, a click does; Find File(s) saves its own checks. The snapshot questions
// can be cancelled, and then nothing is lost. Closing offers a snapshot of the results.
TEST_F(ResultsPageTest, AFoldersCheckBoxListsItOnlyClicksSaveAndSnapshotQuestionsCanBeCancelledOrAnswered) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  ResultsPage* results = wizard_->results;
  const std::size_t docs = *wizard_->session().Tree()->FindFolder(u"Docs");
  const QModelIndex index = results->treeModel->IndexOf(docs);
  const int file = RowNamed(u"README.TXT");
  ASSERT_GE(file, 0);
  results->details->setCurrentIndex(results->listModel->index(file, 0));
  ASSERT_NE(results->preview->Current(), nullptr);
  results->folders->scrollTo(index);
  const QRect rect = results->folders->visualRect(index);
  const int margin = results->folders->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
  const int box = results->folders->style()->pixelMetric(QStyle::PM_IndicatorWidth);
  QTest::mouseClick(results->folders->viewport(), Qt::LeftButton, {}, QPoint(rect.left() + margin + box / 2, rect.center().y()));
  EXPECT_EQ(results->treeModel->data(index, Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(results->folders->currentIndex(), index);
  EXPECT_EQ(results->listModel->FolderNode(), docs);
  EXPECT_EQ(results->preview->Current(), nullptr);
  // The button keeps the focus after a save; the Return that closes the report, or a stray one, starts none.
  results->recover->setFocus();
  EXPECT_FALSE(AsksForFolder([&] {
    QTest::keyClick(results->recover, Qt::Key_Return);
    QTest::keyClick(results->recover, Qt::Key_Enter);
    QTest::keyClick(results->details, Qt::Key_Return);
    QTest::keyClick(results->folders, Qt::Key_Return);
  }));
  EXPECT_TRUE(AsksForFolder([&] { QTest::mouseClick(results->recover, Qt::LeftButton); })) << "a click still saves";
  // Into a folder that cannot be made: an error.
  test::TempDir dir;
  std::ofstream(dir.Path() / "a-file") << "not a folder";
  wizard_->chooseDestination = [&] { return QString::fromStdString((dir.Path() / "a-file" / "inside").string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(messages_.back().second, MessageKind::kError);
  // Find File(s) saves exactly the found files checked, flat, and leaves the tree's checks alone.
  ResultTree& tree = *wizard_->session().Tree();
  const auto checked = tree.CheckedFiles();
  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  dialog.pattern->setText(QStringLiteral("readme"));
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Searching(); }, kScanTimeoutMs));
  std::set<std::string> expected;  // the live hits of distinct names, checked
  for (int r = 0; r < dialog.model->rowCount(); ++r) {
    const SearchHit& hit = *dialog.model->Hit(r);
    if (hit.deleted || !expected.insert(QString::fromStdU16String(hit.name).toStdString()).second) continue;
    dialog.model->setData(dialog.model->index(r, FoundFilesModel::kName), Qt::Checked, Qt::CheckStateRole);
  }
  ASSERT_GE(expected.size(), 2u);
  std::set<std::string> saved;
  for (const auto& [path, sum] : SaveChecked([&] { QTest::mouseClick(dialog.save, Qt::LeftButton); }))
    saved.insert(path);
  EXPECT_EQ(saved, expected);
  EXPECT_EQ(tree.CheckedFiles(), checked);
  dialog.close();
  // Cancel to the snapshot question, on Back, Home or another image: the results stay.
  const QString before = wizard_->start->path->text();
  onQuestion_ = [](const QString&) { return kCancel; };
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(SnapshotTexts::kSaveOnBack));
  EXPECT_TRUE(StillOnTheResults());
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  EXPECT_TRUE(StillOnTheResults());
  // Another image handed to the window (a drop, the recent files, a later start of the program).
  window_->OpenPath(QString::fromStdString(test::FatFixture("fat32.vhdx").string()));
  EXPECT_TRUE(StillOnTheResults());
  EXPECT_EQ(wizard_->start->path->text(), before);
  // Closing: the close question itself is not reached.
  messages_.clear();
  EXPECT_FALSE(window_->close());
  EXPECT_EQ(Last(), QString(SnapshotTexts::kSaveOnClose));
  EXPECT_FALSE(Shown(AppTexts::kCloseQuestion));
  EXPECT_TRUE(StillOnTheResults());
  // Escape on the message box itself is Cancel.
  onQuestion_ = [this](const QString& text) {
    QTimer::singleShot(0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
    return ShowMessageBox(window_.get(), text, MessageKind::kQuestion, true, true);
  };
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  EXPECT_TRUE(StillOnTheResults());
  // Yes and then no snapshot file named: the results stay too.
  onQuestion_ = [](const QString&) { return kYes; };
  wizard_->chooseSnapshotToSave = [](const QString&) { return QString(); };
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_TRUE(StillOnTheResults());
  // Closing, Yes and a file named: the snapshot is kept, then comes the close question.
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "end").string()); };
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(Last(), QString(AppTexts::kCloseQuestion));
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / "end.dvsf"));
}

TEST_F(ResultsPageTest, SplitterLayoutIsKeptByNameAndResetLayoutBuildsItAgain) {
  const auto splitter = [](MainWindow& window, const char* name) { return window.findChild<QSplitter*>(QString::fromLatin1(name)); };
  // The results page on screen: its two panes side by side, list the wider unless the user made the tree wide.
  const auto resultsSizes = [&](MainWindow& window) {
    window.show();
    window.wizard()->ShowPage(Wizard::kResults);
    return splitter(window, "resultsSplitter")->sizes();
  };
  const auto expectLayout = [&](MainWindow& window, bool users) {
    EXPECT_EQ(splitter(window, "driveSplitter")->orientation(), users ? Qt::Vertical : Qt::Horizontal);
    const QList<int> sizes = resultsSizes(window);
    EXPECT_GT(sizes[users ? 0 : 1], sizes[users ? 1 : 0]);
    EXPECT_GT(sizes[0], 0);
  };
  for (const char* name : {"driveSplitter", "partitionSplitter", "resultsSplitter", "listAndPreview"})
    ASSERT_NE(splitter(*window_, name), nullptr) << name;
  expectLayout(*window_, false);
  const QList<int> built = resultsSizes(*window_);
  wizard_->ShowPage(Wizard::kDrive);
  splitter(*window_, "driveSplitter")->setOrientation(Qt::Vertical);
  wizard_->ShowPage(Wizard::kResults);
  splitter(*window_, "resultsSplitter")->setSizes({built[0] + built[1] - 60, 60});
  onQuestion_ = [](const QString&) { return kYes; };
  ASSERT_TRUE(window_->close());
  // Kept for the next window; Reset Layout turns it back and forgets it.
  MainWindow reset;
  expectLayout(reset, true);
  reset.Command("resetLayout")->trigger();
  expectLayout(reset, false);
  QSettings settings;
  settings.beginGroup(QStringLiteral("Layout"));
  for (const QString& key : settings.allKeys())
    EXPECT_FALSE(key.endsWith(QStringLiteral("/Splitters/driveSplitter"))) << key.toStdString();
}

}  // namespace
}  // namespace dravik::app
