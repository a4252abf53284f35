// The desktop program driven as a user drives it, on the offscreen platform,
// through the real engine on the FAT fixture images: the Quick Scan road
// from the start page to saved files compared with the fixture's manifest,
// the messages of the start page, the stop question, Back and Home, the
// check rules of the result views and a save that cannot be written.
// Messages and questions are answered through the wizard's message function.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTreeView>
#include <fstream>

#include "FatFixtures.h"
#include "QtPrinters.h"
#include "TestFiles.h"
#include "app/AppTexts.h"
#include "app/MainWindow.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"
#include "app/wizard/DrivePage.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::app {
namespace {

constexpr int kScanTimeoutMs = 60000;

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<MainWindow>();
    wizard_ = window_->wizard();
    wizard_->messenger().SetFunction([this](const QString& text, MessageKind kind, bool yesNo) {
      messages_.push_back({text, kind});
      if (yesNo && onQuestion_) return onQuestion_(text);
      return yesNo ? kNo : kYes;
    });
    window_->show();
  }

  void Open(const std::filesystem::path& image, ScanMode mode = ScanMode::kQuick) {
    wizard_->start->path->setText(QString::fromStdString(image.string()));
    QTest::mouseClick(mode == ScanMode::kQuick ? static_cast<QWidget*>(wizard_->start->quick)
                                                : static_cast<QWidget*>(wizard_->start->extensive),
                      Qt::LeftButton);
  }

  // From the start page to the results of a Quick Scan of the first partition.
  void ScanToResults(const std::filesystem::path& image) {
    Open(image);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
    ASSERT_EQ(wizard_->partition->Selected(), 0);
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  }

  QString Last() const { return messages_.empty() ? QString() : messages_.back().first; }
  bool Shown(const QString& text) const {
    return std::any_of(messages_.begin(), messages_.end(), [&](const auto& m) { return m.first == text; });
  }

  std::unique_ptr<MainWindow> window_;
  Wizard* wizard_ = nullptr;
  std::vector<std::pair<QString, MessageKind>> messages_;
  std::function<int(const QString&)> onQuestion_;
};

TEST_F(WizardTest, QuickScanRecoversTheCheckedTreeAsTheManifestHasIt) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  EXPECT_TRUE(Shown(QuickScanTexts::kFound));
  EXPECT_TRUE(window_->Command("recover")->isEnabled());
  ResultsPage* results = wizard_->results;
  // The root is listed first, everything checked.
  EXPECT_EQ(results->treeModel->data(results->treeModel->IndexOf(0), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_GT(results->listModel->rowCount(), 3);

  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));

  const auto saved = test::HashTree(out.Path());
  std::size_t live = 0;
  for (const test::ManifestFile& file : test::ReadManifest("fat32")) {
    if (file.deleted) continue;
    ++live;
    const auto it = saved.find(file.path);
    ASSERT_NE(it, saved.end()) << file.path;
    EXPECT_EQ(it->second, file.sha256) << file.path;
  }
  EXPECT_GT(live, 100u);
}

TEST_F(WizardTest, StartPageRefusesEmptyMissingAndCorruptImages) {
  Open("");
  EXPECT_EQ(Last(), QString(AppTexts::kEmptyPath));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);

  const std::string missing = "/nonexistent/disk.vhdx";
  Open(missing);
  EXPECT_EQ(Last(), QString::fromStdString(missing) + AppTexts::kNotExists);
  EXPECT_EQ(messages_.back().second, MessageKind::kQuestion);

  test::TempDir dir;
  const auto corrupt = dir.Path() / "corrupt.vhdx";
  std::ofstream(corrupt) << std::string(70000, 'x');
  Open(corrupt);
  EXPECT_EQ(Last(), QString(OpenFailureMessage(ImageKind::kVhdx, true)));
  EXPECT_EQ(messages_.back().second, MessageKind::kError);
  EXPECT_TRUE(wizard_->start->path->text().isEmpty());
  Open(corrupt, ScanMode::kExtensive);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
}

TEST_F(WizardTest, StopAnsweredNoGoesOnAndYesEndsWithWhatWasFound) {
  Open(test::FatFixture("fat32.vhd"));
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));

  // No: the worker is held while the question is open, then goes on to the
  // end. The scan starts held, so that the question finds it working.
  bool held = false;
  onQuestion_ = [&](const QString&) {
    held = wizard_->worker().Running() && !wizard_->worker().Finished();
    return kNo;
  };
  wizard_->worker().HoldNextStart();
  wizard_->PartitionScan();
  wizard_->Stop();
  EXPECT_EQ(Last(), QString(AppTexts::kStopScan));
  EXPECT_TRUE(held);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  EXPECT_GT(wizard_->session().store.FatFiles().size(), 1000u);

  // Yes: the scan ends at its next check, here before it read anything, so
  // the notice for an empty result leads back to the start page.
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
  onQuestion_ = [](const QString&) { return kYes; };
  wizard_->worker().HoldNextStart();
  wizard_->PartitionScan();
  wizard_->Stop();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !wizard_->Busy(); }, kScanTimeoutMs));
  EXPECT_TRUE(Shown(QuickScanTexts::kNothingFound));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_FALSE(wizard_->session().tree.has_value());
}

TEST_F(WizardTest, BackAndHomeFromEveryPageFreeWhatThePageBuilt) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
  EXPECT_FALSE(wizard_->session().tree.has_value());
  EXPECT_TRUE(wizard_->session().store.FatFiles().empty());
  QTest::mouseClick(wizard_->partition->buttons.back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  EXPECT_TRUE(wizard_->session().partitions.Empty());
  QTest::mouseClick(wizard_->drive->buttons.back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_TRUE(window_->Command("open")->isEnabled());

  // Home from the results returns to the start page at once, everything freed;
  // the same image opens again without a message.
  messages_.clear();
  ScanToResults(test::FatFixture("fat16.vhdx"));
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_FALSE(wizard_->session().tree.has_value());
  EXPECT_EQ(wizard_->session().stage, (std::array<int, 3>{}));
  Open(test::FatFixture("fat16.vhdx"));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  QTest::mouseClick(wizard_->drive->buttons.home, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
}

TEST_F(WizardTest, ParentRowIsNeverCheckableAndUncheckingTheLastChildClearsAncestors) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  ResultsPage* results = wizard_->results;
  const ResultTree& tree = *wizard_->session().tree;
  const std::size_t deep = *tree.FindFolder(u"Docs/Sub Folder/Deep");
  const std::size_t sub = *tree.FindFolder(u"Docs/Sub Folder");
  const std::size_t docs = *tree.FindFolder(u"Docs");
  FolderTreeModel* model = results->treeModel;
  const auto state = [&](std::size_t node) { return model->data(model->IndexOf(node), Qt::CheckStateRole).toInt(); };

  // Everything off through the root's box, then only Deep on.
  ASSERT_EQ(state(0), Qt::Checked);
  model->setData(model->IndexOf(0), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(state(0), Qt::Unchecked);
  model->setData(model->IndexOf(deep), Qt::Checked, Qt::CheckStateRole);
  EXPECT_EQ(state(deep), Qt::Checked);
  // Sub Folder holds only Deep and no file of its own: checked with it.
  EXPECT_EQ(state(sub), Qt::Checked);
  EXPECT_EQ(state(docs), Qt::PartiallyChecked);

  // Deep's list: "Parent..." first, without a check box; its file follows the folder.
  results->folders->setCurrentIndex(model->IndexOf(deep));
  FileListModel* list = results->listModel;
  ASSERT_EQ(list->FolderNode(), deep);
  ASSERT_GE(list->rowCount(), 2);
  EXPECT_EQ(list->Row(0)->kind, ListRow::Kind::kParent);
  EXPECT_FALSE(list->flags(list->index(0, 0)).testFlag(Qt::ItemIsUserCheckable));
  EXPECT_FALSE(list->setData(list->index(0, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_FALSE(list->data(list->index(0, 0), Qt::CheckStateRole).isValid());
  EXPECT_EQ(list->data(list->index(0, 0), Qt::BackgroundRole).value<QBrush>().color(), QColor(255, 202, 149));
  int file = -1;
  for (int r = 0; r < list->rowCount(); ++r)
    if (list->Row(r)->kind == ListRow::Kind::kFile) file = r;
  ASSERT_GE(file, 0);
  EXPECT_EQ(list->data(list->index(file, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(results->selectedSize->text(), QStringLiteral("Selected Size : 0 MB"));

  // Unchecking the folder's only file leaves it without anything checked: it
  // and every ancestor left without a checked child are cleared.
  list->setData(list->index(file, 0), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(list->data(list->index(file, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  model->setData(model->IndexOf(deep), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(state(deep), Qt::Unchecked);
  EXPECT_EQ(state(sub), Qt::Unchecked);
  EXPECT_EQ(state(docs), Qt::Unchecked);
  EXPECT_EQ(state(0), Qt::Unchecked);

  // Opening "Parent..." lists the parent folder.
  results->OpenRow(0);
  EXPECT_EQ(list->FolderNode(), sub);

  // With nothing checked, Recover says so and asks for no folder.
  bool asked = false;
  wizard_->chooseDestination = [&] { asked = true; return QString(); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kNothingMarked));
  EXPECT_FALSE(asked);
}

TEST_F(WizardTest, SaveIntoAFolderThatCannotBeMadeReportsTheFailure) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  test::TempDir dir;
  const auto blocker = dir.Path() / "a-file";
  std::ofstream(blocker) << "not a folder";
  wizard_->chooseDestination = [&] { return QString::fromStdString((blocker / "inside").string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  EXPECT_NE(Last(), QString(AppTexts::kSavedSuccessfully));
  EXPECT_TRUE(Last().contains(QStringLiteral("could not be written"))) << Last().toStdString();
  EXPECT_TRUE(Last().contains(QStringLiteral("0 files saved whole"))) << Last().toStdString();
  EXPECT_EQ(messages_.back().second, MessageKind::kError);
}

}  // namespace
}  // namespace dravik::app

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QStandardPaths::setTestModeEnabled(true);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
