// The results page as a person uses it, driven on the FAT fixtures: the
// snapshot questions that can be cancelled (by a button and by Escape on the
// real message box), a page whose keys never start a save, a click on a
// folder's check box, Find File(s)'s save, and the splitter layout kept by
// name for one scale and reset from the View menu.

#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeView>

#include "FatFixtures.h"
#include "WindowTest.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/search/FindFilesDialog.h"
#include "app/search/FoundFilesModel.h"
#include "preview/PreviewPane.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {
namespace {

using Saved = std::map<std::string, std::string>;

class ResultsPageTest : public WindowTest {
 protected:
  bool StillOnTheResults() const {
    return wizard_->CurrentPage() == Wizard::kResults && wizard_->session().Tree() != nullptr;
  }
};

TEST_F(ResultsPageTest, SnapshotQuestionsCanBeCancelledAndThenNothingIsLost) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  const QString before = wizard_->start->path->text();
  onQuestion_ = [](const QString&) { return kCancel; };
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(SnapshotTexts::kSaveOnBack));
  EXPECT_TRUE(StillOnTheResults());
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  EXPECT_TRUE(StillOnTheResults());
  // Another image handed to the window (a drop, the recent files).
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

  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
}

TEST_F(ResultsPageTest, NoKeyOnTheResultsPageStartsASave) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  ResultsPage* results = wizard_->results;
  for (QPushButton* button : results->findChildren<QPushButton*>()) {
    EXPECT_FALSE(button->isDefault()) << button->text().toStdString();
    EXPECT_FALSE(button->autoDefault()) << button->text().toStdString();
  }
  bool asked = false;
  wizard_->chooseDestination = [&] {
    asked = true;
    return QString();
  };
  // The button keeps the focus after a save; the Return that closes the
  // report, or a stray one, must not start another.
  results->recover->setFocus();
  QTest::keyClick(results->recover, Qt::Key_Return);
  QTest::keyClick(results->recover, Qt::Key_Enter);
  QTest::keyClick(results->details, Qt::Key_Return);
  QTest::keyClick(results->folders, Qt::Key_Return);
  EXPECT_FALSE(asked);
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_TRUE(asked) << "a click still saves";
}

// A file of the root previewed, then a click on Docs' check box: Docs is
// unchecked, highlighted and listed, and the root's file no longer previewed.
TEST_F(ResultsPageTest, AClickOnAFoldersCheckBoxListsAndHighlightsIt) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  ResultsPage* results = wizard_->results;
  const std::size_t docs = *wizard_->session().Tree()->FindFolder(u"Docs");
  const QModelIndex index = results->treeModel->IndexOf(docs);
  int file = -1;
  for (int r = 0; r < results->listModel->rowCount() && file < 0; ++r)
    if (results->listModel->Row(r)->name == u"README.TXT") file = r;
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
}

// Find File(s) saves exactly the found files checked, flat, and leaves the tree's checks alone.
TEST_F(ResultsPageTest, FindFilesSavesTheCheckedFoundFilesOnly) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  const Saved everything = SaveChecked();
  ResultTree& tree = *wizard_->session().Tree();
  tree.SetCheck(ResultTree::kRoot, false);
  tree.SetCheck(*tree.FindFolder(u"Docs"), true);
  const auto checked = tree.CheckedFiles();
  FindFilesDialog dialog(*wizard_, window_.get());
  dialog.show();
  dialog.pattern->setText(QStringLiteral("readme"));
  QTest::mouseClick(dialog.start, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Searching(); }, kScanTimeoutMs));
  Saved expected;  // the live hits by name, with the bytes the whole save gave them
  for (int r = 0; r < dialog.model->rowCount(); ++r) {
    const SearchHit& hit = *dialog.model->Hit(r);
    const std::string folder = QString::fromStdU16String(hit.folder).toStdString();
    const std::string path = (folder == "Root" ? "" : folder.substr(5) + "/") + QString::fromStdU16String(hit.name).toStdString();
    if (hit.deleted || expected.count(QString::fromStdU16String(hit.name).toStdString())) continue;
    ASSERT_TRUE(everything.count(path)) << path;
    expected[QString::fromStdU16String(hit.name).toStdString()] = everything.at(path);
    dialog.model->setData(dialog.model->index(r, FoundFilesModel::kName), Qt::Checked, Qt::CheckStateRole);
  }
  ASSERT_GE(expected.size(), 2u);
  EXPECT_EQ(SaveChecked([&] { QTest::mouseClick(dialog.save, Qt::LeftButton); }), expected);
  EXPECT_EQ(tree.CheckedFiles(), checked);
}

TEST_F(ResultsPageTest, SplitterLayoutIsKeptByNameForItsScaleAndResetLayoutBuildsItAgain) {
  const auto splitter = [](MainWindow& window, const char* name) {
    return window.findChild<QSplitter*>(QString::fromLatin1(name));
  };
  // The results page on screen: its two panes side by side, list the wider.
  const auto resultsSizes = [&](MainWindow& window) {
    window.show();
    window.wizard()->ShowPage(Wizard::kResults);
    return splitter(window, "resultsSplitter")->sizes();
  };
  for (const char* name : {"driveSplitter", "partitionSplitter", "resultsSplitter", "listAndPreview"})
    ASSERT_NE(splitter(*window_, name), nullptr) << name;
  const QList<int> built = resultsSizes(*window_);
  ASSERT_GT(built[0], 0);
  ASSERT_GT(built[1], built[0]);

  // A layout the user made: the drive page turned round, the tree wide.
  wizard_->ShowPage(Wizard::kDrive);
  splitter(*window_, "driveSplitter")->setOrientation(Qt::Vertical);
  wizard_->ShowPage(Wizard::kResults);
  splitter(*window_, "resultsSplitter")->setSizes({built[0] + built[1] - 60, 60});
  onQuestion_ = [](const QString&) { return kYes; };
  ASSERT_TRUE(window_->close());
  {
    MainWindow again;
    EXPECT_EQ(splitter(again, "driveSplitter")->orientation(), Qt::Vertical);
    const QList<int> sizes = resultsSizes(again);
    EXPECT_GT(sizes[0], sizes[1]);
  }

  // The same layout kept for another scale only: this one is built as new.
  QSettings settings;
  settings.beginGroup(QStringLiteral("Layout"));
  const QStringList scales = settings.childGroups();
  settings.endGroup();
  ASSERT_EQ(scales.size(), 1);
  const QString here = QStringLiteral("Layout/") + scales.front();
  const QString other = QStringLiteral("Layout/9.99");
  const auto copyGroup = [&](const QString& from, const QString& to) {
    settings.beginGroup(from);
    const QStringList keys = settings.allKeys();
    settings.endGroup();
    for (const QString& key : keys) settings.setValue(to + QLatin1Char('/') + key, settings.value(from + QLatin1Char('/') + key));
  };
  copyGroup(here, other);
  settings.remove(here);
  settings.sync();
  {
    MainWindow elsewhere;
    EXPECT_EQ(splitter(elsewhere, "driveSplitter")->orientation(), Qt::Horizontal);
    const QList<int> sizes = resultsSizes(elsewhere);
    EXPECT_LT(sizes[0], sizes[1]);
  }

  // Kept for this scale again; Reset Layout turns it back and forgets it.
  copyGroup(other, here);
  settings.sync();
  MainWindow reset;
  ASSERT_EQ(splitter(reset, "driveSplitter")->orientation(), Qt::Vertical);
  ASSERT_GT(resultsSizes(reset)[0], resultsSizes(reset)[1]);
  reset.Command("resetLayout")->trigger();
  EXPECT_EQ(splitter(reset, "driveSplitter")->orientation(), Qt::Horizontal);
  const QList<int> after = resultsSizes(reset);
  EXPECT_GT(after[0], 0);
  EXPECT_GT(after[1], after[0]);
  EXPECT_FALSE(QSettings().contains(here + QStringLiteral("/Splitters/driveSplitter")));
}

}  // namespace
}  // namespace dravik::app
