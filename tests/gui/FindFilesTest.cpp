// Find File(s) and File Filters driven as a user drives them, on the
// offscreen platform, over Quick Scans of the FAT and NTFS fixture images:
// what a pattern finds against the engine's matcher over the store's names
// and against the fixture's manifest, the stop question, Select All, saving
// the checked found files, the filter list's limits and messages, and the
// filters' effect on the results list and on a save. Messages and questions
// are answered through the wizard's message function.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <set>

#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "TestFiles.h"
#include "app/AppTexts.h"
#include "WindowTest.h"
#include "app/MainWindow.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/search/FileFiltersDialog.h"
#include "save/SaveDriver.h"
#include "app/search/FindFilesDialog.h"
#include "app/search/FoundFilesModel.h"
#include "app/search/SearchTexts.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"
#include "fs/NameMatch.h"
#include "util/Utf.h"

namespace dravik::app {
namespace {

constexpr int kTimeoutMs = 60000;

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool Matches(const std::u16string& name, const std::u16string& pattern) {
  return MatchName(ToLower(name), ToLower(pattern));
}

// A found row's path below the volume's root, as the manifests write it.
std::string PathOf(const SearchHit& hit) {
  const std::string folder = ToUtf8(hit.folder);
  const std::string name = ToUtf8(hit.name);
  return folder == "Root" ? name : folder.substr(std::string("Root/").size()) + "/" + name;
}

class FindFilesTest : public WindowTest {
 protected:
  // Runs body on the modal dialog that the command opens, then closes it.
  template <typename Dialog>
  void WithModal(const QString& command, const std::function<void(Dialog&)>& body) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* dialog = qobject_cast<Dialog*>(modal)) {
        body(*dialog);
        ran = true;
      }
      if (modal) modal->close();
    });
    window_->Command(command)->trigger();
    EXPECT_TRUE(ran) << "the command opened no dialog of the kind";
  }

  // Types the pattern, starts the search and waits for its end.
  static std::vector<SearchHit> Search(FindFilesDialog& dialog, const QString& pattern) {
    dialog.pattern->setText(pattern);
    QTest::mouseClick(dialog.start, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.Searching(); }, kTimeoutMs));
    std::vector<SearchHit> hits;
    for (int r = 0; r < dialog.model->rowCount(); ++r) hits.push_back(*dialog.model->Hit(r));
    return hits;
  }

  // The records of the store's file list whose names the matcher takes.
  std::vector<std::size_t> StoreMatches(const std::u16string& pattern) const {
    const RecoveryStore& store = wizard_->session().Store();
    std::vector<std::size_t> records;
    const bool fat = wizard_->session().Tree()->Family() == FsFamily::kFat;
    const std::size_t count = fat ? store.Files().size() : store.Files().size();
    for (std::size_t i = 0; i < count; ++i)
      if (Matches(fat ? store.Files()[i].name : store.Files()[i].name, pattern)) records.push_back(i);
    return records;
  }


};

std::vector<std::size_t> Records(const std::vector<SearchHit>& hits) {
  std::vector<std::size_t> records;
  for (const SearchHit& hit : hits) records.push_back(hit.record);
  return records;
}

std::set<std::string> LivePaths(const std::vector<SearchHit>& hits) {
  std::set<std::string> paths;
  for (const SearchHit& hit : hits)
    if (!hit.deleted) paths.insert(PathOf(hit));
  return paths;
}

TEST_F(FindFilesTest, CommandsNeedResultsAndReopenAfterBack) {
  EXPECT_FALSE(window_->Command("findFiles")->isEnabled());
  EXPECT_FALSE(window_->Command("fileFilters")->isEnabled());
  ScanToResults(test::FatFixture("fat16.vhdx"));
  EXPECT_TRUE(window_->Command("findFiles")->isEnabled());
  EXPECT_TRUE(window_->Command("fileFilters")->isEnabled());
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_FALSE(window_->Command("findFiles")->isEnabled());
  EXPECT_FALSE(window_->Command("fileFilters")->isEnabled());
}

TEST_F(FindFilesTest, PatternsFindWhatTheMatcherTakesFromTheStoreAndTheManifestHas) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  const auto manifest = test::ReadManifest("fat16");
  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  for (const QString& pattern : {QStringLiteral("*"), QStringLiteral("*.*"), QStringLiteral("REPORT"),
                                 QStringLiteral("????.txt"), QStringLiteral("f?? long")}) {
    SCOPED_TRACE(pattern.toStdString());
    const std::u16string wide = pattern.toStdU16String();
    const auto hits = Search(dialog, pattern);
    EXPECT_EQ(Records(hits), StoreMatches(wide));
    std::set<std::string> expected;
    for (const test::ManifestFile& file : manifest)
      if (!file.deleted && Matches(FromUtf8(BaseName(file.path)), wide)) expected.insert(file.path);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(LivePaths(hits), expected);
    for (const SearchHit& hit : hits) {
      const FileRecord& record = wizard_->session().Store().Files()[hit.record];
      EXPECT_EQ(hit.id, record.key);
      EXPECT_EQ(hit.size, record.size);
    }
    EXPECT_EQ(dialog.status->text(), QStringLiteral("There were %1 files found.").arg(hits.size()));
    EXPECT_EQ(dialog.filesFound->text(), QString::number(hits.size()));
    EXPECT_EQ(dialog.lastFile->text(), QString::fromStdU16String(hits.back().name));
    EXPECT_TRUE(dialog.start->isEnabled());
    EXPECT_FALSE(dialog.stop->isEnabled());
  }
  EXPECT_EQ(Search(dialog, QStringLiteral("*")).size(), wizard_->session().Store().Files().size());
  EXPECT_TRUE(dialog.results->isColumnHidden(FoundFilesModel::kId));

  EXPECT_TRUE(Search(dialog, QStringLiteral("no such name")).empty());
  EXPECT_EQ(dialog.status->text(), QString(SearchTexts::kNoResults));
  EXPECT_EQ(dialog.filesFound->text(), QStringLiteral("0"));
  EXPECT_TRUE(dialog.lastFile->text().isEmpty());
}

TEST_F(FindFilesTest, NtfsFilesAreFoundByNameAndListedUnderTheirFolders) {
  ScanToResults(test::NtfsFixture("ntfs.vhdx"));
  ASSERT_EQ(wizard_->session().Tree()->Family(), FsFamily::kNtfs);
  // The manifest's paths by MFT record: a hard-linked file has several, and
  // the scan lists it once, under one of them.
  std::map<std::uint32_t, std::vector<std::string>> names;
  for (const test::NtfsManifestEntry& file : test::ReadNtfsManifest("live.manifest"))
    names[file.record].push_back(file.path);
  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  for (const QString& pattern : {QStringLiteral("*.txt"), QStringLiteral("SUMMARY"), QStringLiteral("file00?7")}) {
    SCOPED_TRACE(pattern.toStdString());
    const std::u16string wide = pattern.toStdU16String();
    const auto hits = Search(dialog, pattern);
    EXPECT_EQ(Records(hits), StoreMatches(wide));
    for (const SearchHit& hit : hits) EXPECT_EQ(hit.id, wizard_->session().Store().Files()[hit.record].key);
    // A record all of whose names match is found once, one none of whose
    // names match is not found.
    const std::set<std::string> found = LivePaths(hits);
    std::size_t matching = 0;
    for (const auto& [record, paths] : names) {
      std::size_t match = 0, listed = 0;
      for (const std::string& path : paths) {
        match += Matches(FromUtf8(BaseName(path)), wide);
        listed += found.count(path);
      }
      if (match == paths.size()) {
        ++matching;
        EXPECT_EQ(listed, 1u) << paths.front();
      } else if (match == 0) {
        EXPECT_EQ(listed, 0u) << paths.front();
      }
    }
    EXPECT_GT(matching, 0u);
  }
}

TEST_F(FindFilesTest, StopHoldsTheSearchWhileAskingNoGoesOnYesEndsIt) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  const std::size_t files = wizard_->session().Store().Files().size();
  ASSERT_GT(files, 1000u);
  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  dialog.pattern->setText(QStringLiteral("*"));

  // The search starts held, so that the question finds it before its first record.
  int rowsWhileAsked = -1;
  onQuestion_ = [&](const QString&) {
    rowsWhileAsked = dialog.model->rowCount();
    EXPECT_TRUE(dialog.Searching());
    return kNo;
  };
  dialog.HoldNextSearch();
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  EXPECT_FALSE(dialog.start->isEnabled());
  EXPECT_FALSE(dialog.pattern->isEnabled());
  EXPECT_TRUE(dialog.stop->isEnabled());
  QTest::mouseClick(dialog.stop, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(SearchTexts::kStopQuestion));
  EXPECT_EQ(rowsWhileAsked, 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Searching(); }, kTimeoutMs));
  EXPECT_EQ(static_cast<std::size_t>(dialog.model->rowCount()), files);
  EXPECT_EQ(dialog.status->text(), QStringLiteral("There were %1 files found.").arg(files));

  // Yes: the walk ends at the record it was held before; the buttons come back.
  onQuestion_ = [](const QString&) { return kYes; };
  dialog.HoldNextSearch();
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  QTest::mouseClick(dialog.stop, Qt::LeftButton);
  EXPECT_FALSE(dialog.Searching());
  EXPECT_EQ(dialog.model->rowCount(), 0);
  EXPECT_TRUE(dialog.start->isEnabled());
  EXPECT_TRUE(dialog.pattern->isEnabled());
  EXPECT_FALSE(dialog.stop->isEnabled());
  QTest::qWait(0);
  EXPECT_EQ(dialog.model->rowCount(), 0) << "nothing arrives after the stop";
}

TEST_F(FindFilesTest, SaveSelectedWritesExactlyTheCheckedFoundFilesAndLeavesTheTreeAlone) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  ResultTree& tree = *wizard_->session().Tree();
  // The user's own marks: only Docs, and one root file.
  tree.SetCheck(ResultTree::kRoot, false);
  tree.SetCheck(*tree.FindFolder(u"Docs"), true);
  tree.CheckFile(tree.FilesOf(kFatRootId).front(), true);
  const auto checkedFiles = tree.CheckedFiles();
  const auto folders = tree.CheckedFolders();

  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  test::TempDir out;
  int asked = 0;
  wizard_->chooseDestination = [&] {
    ++asked;
    return QString::fromStdString(out.Path().string());
  };
  // Select All toggles over every row and back; with nothing checked nothing is saved.
  const auto hits = Search(dialog, QStringLiteral("readme"));
  ASSERT_GE(hits.size(), 3u);
  QTest::mouseClick(dialog.selectAll, Qt::LeftButton);
  EXPECT_EQ(dialog.selectAll->text(), QString(SearchTexts::kUnselectAll));
  EXPECT_EQ(dialog.model->CheckedRecords(), Records(hits));
  QTest::mouseClick(dialog.selectAll, Qt::LeftButton);
  EXPECT_EQ(dialog.selectAll->text(), QString(SearchTexts::kSelectAll));
  EXPECT_TRUE(dialog.model->CheckedRecords().empty());
  QTest::mouseClick(dialog.save, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kNothingMarked));
  EXPECT_EQ(asked, 0);

  // The live rows checked one by one: exactly they are written, flat, with their bytes.
  const auto manifest = test::ReadManifest("fat16");
  std::map<std::string, std::string> expected;  // saved name -> sha256
  for (int r = 0; r < dialog.model->rowCount(); ++r) {
    const SearchHit& hit = *dialog.model->Hit(r);
    if (hit.deleted || expected.count(ToUtf8(hit.name))) continue;
    for (const test::ManifestFile& file : manifest)
      if (!file.deleted && file.path == PathOf(hit)) expected[ToUtf8(hit.name)] = file.sha256;
    ASSERT_TRUE(expected.count(ToUtf8(hit.name))) << PathOf(hit);
    dialog.model->setData(dialog.model->index(r, FoundFilesModel::kName), Qt::Checked, Qt::CheckStateRole);
  }
  ASSERT_GE(expected.size(), 2u);
  QTest::mouseClick(dialog.save, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(test::HashTree(out.Path()), expected);

  EXPECT_EQ(tree.CheckedFiles(), checkedFiles);
  EXPECT_EQ(tree.CheckedFolders(), folders);
}

TEST_F(FindFilesTest, TheCommandOpensTheDialogAndTheListShowsNoMenuMeanwhile) {
  int menus = 0;
  window_->showMenu = [&](QMenu&, const QPoint&) { ++menus; };
  ScanToResults(test::FatFixture("fat16.vhdx"));
  QTreeView* view = wizard_->results->details;
  const QPoint onRow = view->visualRect(wizard_->results->listModel->index(1, FileListModel::kType)).center();
  WithModal<FindFilesDialog>(QStringLiteral("findFiles"), [&](FindFilesDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), QString(SearchTexts::kFindTitle));
    Q_EMIT view->customContextMenuRequested(onRow);
    EXPECT_EQ(menus, 0);
    EXPECT_FALSE(Search(dialog, QStringLiteral("*.txt")).empty());
  });
  Q_EMIT view->customContextMenuRequested(onRow);
  EXPECT_EQ(menus, 1) << "the menu is back once the dialog has closed";
}

TEST_F(FindFilesTest, FiltersAreRefusedWithTheirMessagesUpToTheirLimits) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  const FilterList& filter = wizard_->session().filter;
  WithModal<FileFiltersDialog>(QStringLiteral("fileFilters"), [&](FileFiltersDialog& dialog) {
    const auto add = [&](const QString& text) {
      dialog.text->setText(text);
      QTest::mouseClick(dialog.add, Qt::LeftButton);
    };
    add(QString());
    EXPECT_EQ(Last(), QString(FilterList::Message(FilterList::AddResult::kBlank)));
    add(QStringLiteral("abcdefghijklmnopqrst"));
    EXPECT_EQ(Last(), QStringLiteral("      Filter too long.     "));
    EXPECT_EQ(dialog.text->selectedText(), QStringLiteral("abcdefghijklmnopqrs")) << "the first 19 characters";
    EXPECT_TRUE(filter.Empty());
    EXPECT_EQ(dialog.list->count(), 0);
    add(QStringLiteral("abcdefghijklmnopqrs"));
    EXPECT_EQ(filter.Patterns().size(), 1u);
    EXPECT_TRUE(dialog.text->text().isEmpty());
    add(QStringLiteral("abcdefghijklmnopqrs"));
    EXPECT_EQ(Last(), QString(FilterList::Message(FilterList::AddResult::kDuplicate)));
    EXPECT_EQ(dialog.text->selectedText(), QStringLiteral("abcdefghijklmnopqrs"));
    for (int i = 2; i <= 99; ++i) add(QStringLiteral("pattern %1").arg(i));
    EXPECT_EQ(filter.Patterns().size(), 99u) << "the 99th is taken";
    EXPECT_EQ(dialog.list->count(), 99);
    add(QStringLiteral("pattern 100"));
    EXPECT_EQ(Last(), QStringLiteral("      More Filters can't be added.     "));
    EXPECT_EQ(filter.Patterns().size(), 99u);
    EXPECT_EQ(dialog.list->count(), 99);
    for (const auto& [text, kind] : messages_) EXPECT_EQ(kind, MessageKind::kInformation) << text.toStdString();

    // Remove takes the selected pattern out of both.
    dialog.list->setCurrentRow(0);
    QTest::mouseClick(dialog.remove, Qt::LeftButton);
    EXPECT_EQ(filter.Patterns().size(), 98u);
    EXPECT_EQ(dialog.list->item(0)->text(), QStringLiteral("pattern 2"));
    EXPECT_EQ(filter.Patterns().front(), u"pattern 2");
  });
  // The list lives on and fills the dialog when it opens again.
  WithModal<FileFiltersDialog>(QStringLiteral("fileFilters"), [&](FileFiltersDialog& dialog) {
    EXPECT_EQ(dialog.list->count(), 98);
    EXPECT_EQ(dialog.list->item(97)->text(), QStringLiteral("pattern 99"));
  });
}

TEST_F(FindFilesTest, AFilterHidesOtherFilesFromTheListAndKeepsThemOutOfASave) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  const auto manifest = test::ReadManifest("fat16");
  ResultsPage* results = wizard_->results;
  FileListModel* list = results->listModel;
  const ResultTree& tree = *wizard_->session().Tree();
  const auto rows = [&](ListRow::Kind kind) {
    std::set<std::string> names;
    for (int r = 0; r < list->rowCount(); ++r)
      if (list->Row(r)->kind == kind && !list->Row(r)->deleted) names.insert(ToUtf8(list->Row(r)->name));
    return names;
  };
  // The live files of a folder of the manifest that the pattern takes.
  const auto manifestFiles = [&](const std::string& folder, bool filtered) {
    std::set<std::string> names;
    for (const test::ManifestFile& file : manifest) {
      const std::string name = BaseName(file.path);
      if (file.deleted || file.path != (folder.empty() ? name : folder + "/" + name)) continue;
      if (!filtered || Matches(FromUtf8(name), u"*.bin")) names.insert(name);
    }
    return names;
  };
  const std::set<std::string> rootFolders = rows(ListRow::Kind::kFolder);
  ASSERT_GT(rootFolders.size(), 3u);
  results->folders->setCurrentIndex(results->treeModel->IndexOf(*tree.FindFolder(u"sizes")));
  ASSERT_EQ(rows(ListRow::Kind::kFile), manifestFiles("sizes", false));

  WithModal<FileFiltersDialog>(QStringLiteral("fileFilters"), [&](FileFiltersDialog& dialog) {
    dialog.text->setText(QStringLiteral("*.BIN"));
    QTest::mouseClick(dialog.add, Qt::LeftButton);
  });
  ASSERT_EQ(wizard_->session().filter.Patterns().size(), 1u);
  // The page says the filter is on, and the size counts only what a save would write.
  EXPECT_TRUE(results->filterBar->isVisible());
  EXPECT_TRUE(results->filterText->text().contains(QStringLiteral("*.BIN"))) << results->filterText->text().toStdString();
  std::uint64_t binBytes = 0, allBytes = 0;
  for (const test::ManifestFile& file : manifest) {
    allBytes += file.size;
    if (Matches(FromUtf8(BaseName(file.path)), u"*.bin")) binBytes += file.size;
  }
  EXPECT_EQ(results->selectedSize->text().toStdString(), SelectedSizeText(binBytes));
  EXPECT_TRUE(results->selectedSize->toolTip().contains(QStringLiteral("left out by the File Filters")));
  // The folder shown is listed again with only the matching files; every folder stays.
  const std::set<std::string> binaries = manifestFiles("sizes", true);
  EXPECT_EQ(rows(ListRow::Kind::kFile), binaries);
  EXPECT_FALSE(binaries.empty());
  EXPECT_LT(binaries.size(), manifestFiles("sizes", false).size());
  results->OpenRow(0);
  EXPECT_EQ(rows(ListRow::Kind::kFolder), rootFolders);
  EXPECT_TRUE(rows(ListRow::Kind::kFile).empty()) << "no file of the root matches";

  // A save of everything writes only the matching files; folders are made all the same.
  wizard_->session().settings.deleted = DeletedMode::kExclude;
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  std::map<std::string, std::string> wanted;
  for (const test::ManifestFile& file : manifest)
    if (!file.deleted && Matches(FromUtf8(BaseName(file.path)), u"*.bin")) wanted[file.path] = file.sha256;
  EXPECT_EQ(test::HashTree(out.Path()), wanted);
  EXPECT_TRUE(std::filesystem::is_directory(out.Path() / "Docs")) << "a folder without a matching file";

  // A filter that no checked file matches: Recover says so and saves nothing.
  wizard_->session().filter.Clear();
  ASSERT_EQ(wizard_->session().filter.Add(u"*.nomatch"), FilterList::AddResult::kAdded);
  results->RefreshList();
  EXPECT_EQ(results->selectedSize->text().toStdString(), SelectedSizeText(0));
  bool asked = false;
  wizard_->chooseDestination = [&] {
    asked = true;
    return QString();
  };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_FALSE(asked);
  EXPECT_TRUE(Last().startsWith(QStringLiteral("None of the"))) << Last().toStdString();
  EXPECT_EQ(messages_.back().second, MessageKind::kError);

  // Clear Filters turns them off where the user sees them.
  QTest::mouseClick(results->clearFilters, Qt::LeftButton);
  EXPECT_TRUE(wizard_->session().filter.Empty());
  EXPECT_FALSE(results->filterBar->isVisible());
  EXPECT_EQ(results->selectedSize->text().toStdString(), SelectedSizeText(allBytes));
}

}  // namespace
}  // namespace dravik::app
