// The results page as a person uses it, driven on the FAT fixtures: the
// snapshot questions that can be cancelled (by a button and by Escape on the
// real message box), a page whose keys never start a save, the files of a
// partly checked folder saved under its path, the tree's clicks and context
// menu, and the splitter layout kept by name for one scale and reset from
// the View menu.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "FatFixtures.h"
#include "TestFiles.h"
#include "WindowTest.h"
#include "app/AppTexts.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "preview/PreviewPane.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {
namespace {

class ResultsPageTest : public WindowTest {
 protected:

  // Saves what is checked into a fresh folder; the saved files by path.
  std::map<std::string, std::string> SaveChecked() {
    test::TempDir out;
    wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
    QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
    EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
    return test::HashTree(out.Path());
  }

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

TEST_F(ResultsPageTest, FilesOfAPartlyCheckedFolderAreSavedUnderItsPath) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  const auto everything = SaveChecked();
  ASSERT_TRUE(everything.count("Docs/Report.txt"));

  // Report.txt unchecked in Docs' list: Docs is partly checked.
  ResultsPage* results = wizard_->results;
  const std::size_t docs = *wizard_->session().Tree()->FindFolder(u"Docs");
  results->folders->setCurrentIndex(results->treeModel->IndexOf(docs));
  FileListModel* list = results->listModel;
  int report = -1;
  for (int r = 0; r < list->rowCount(); ++r)
    if (list->Row(r)->name == u"Report.txt") report = r;
  ASSERT_GE(report, 0);
  list->setData(list->index(report, 0), Qt::Unchecked, Qt::CheckStateRole);
  ASSERT_EQ(results->treeModel->data(results->treeModel->IndexOf(docs), Qt::CheckStateRole).toInt(),
            Qt::PartiallyChecked);

  auto expected = everything;
  expected.erase("Docs/Report.txt");
  EXPECT_EQ(SaveChecked(), expected) << "every other file where the whole save put it";
}

TEST_F(ResultsPageTest, TheTreeListsHighlightsAndActsOnTheFolderClicked) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  const auto everything = SaveChecked();
  ResultsPage* results = wizard_->results;
  FolderTreeModel* model = results->treeModel;
  const std::size_t docs = *wizard_->session().Tree()->FindFolder(u"Docs");
  const QModelIndex index = model->IndexOf(docs);
  const auto state = [&] { return model->data(index, Qt::CheckStateRole).toInt(); };

  // A file of the root previewed, then a click on Docs' check box.
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
  EXPECT_EQ(state(), Qt::Unchecked);
  EXPECT_EQ(results->folders->currentIndex(), index) << "the folder clicked is highlighted";
  EXPECT_EQ(results->listModel->FolderNode(), docs) << "and listed";
  EXPECT_EQ(results->preview->Current(), nullptr) << "the root's file is no longer previewed";

  // The tree's menu: Check, and Recover This Folder with the checks given back.
  QStringList texts;
  QString pick;
  window_->showMenu = [&](QMenu& menu, const QPoint&) {
    texts.clear();
    for (QAction* action : menu.actions()) {
      if (action->isSeparator()) continue;
      texts << action->text();
      if (action->text() == pick) action->trigger();
    }
  };
  pick = QStringLiteral("&Check");
  Q_EMIT results->folders->customContextMenuRequested(rect.center());
  EXPECT_EQ(texts, (QStringList{"&Check", "&Uncheck", "&Recover This Folder...", "&Properties..."}));
  EXPECT_EQ(state(), Qt::Checked);
  pick = QStringLiteral("&Uncheck");
  Q_EMIT results->folders->customContextMenuRequested(rect.center());
  EXPECT_EQ(state(), Qt::Unchecked);

  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  pick = QStringLiteral("&Recover This Folder...");
  Q_EMIT results->folders->customContextMenuRequested(rect.center());
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  std::map<std::string, std::string> docsFiles;
  for (const auto& [path, sum] : everything)
    if (path.rfind("Docs/", 0) == 0) docsFiles[path] = sum;
  EXPECT_FALSE(docsFiles.empty());
  EXPECT_EQ(test::HashTree(out.Path()), docsFiles);
  EXPECT_EQ(state(), Qt::Unchecked) << "the user's checks come back";
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
