// The desktop program driven as a user drives it, on the offscreen platform,
// through the real engine on the FAT fixture images: the Quick Scan road
// from the start page to saved files compared with the fixture's manifest,
// the messages of the start page, the stop question, Back and Home, Return
// on the pages with a forward button, the check rules of the result views
// and a save that cannot be written.
// Messages and questions are answered through the wizard's message function.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QTemporaryDir>
#include <QPushButton>
#include <QStandardPaths>
#include <QSettings>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <fstream>
#include <map>
#include <set>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "QtPrinters.h"
#include "TestFiles.h"
#include "app/AppTexts.h"
#include "WindowTest.h"
#include "app/MainWindow.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/SnapshotController.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/TraceController.h"
#include "app/wizard/Wizard.h"
#include "app/results/TraceModels.h"
#include "app/trace/FileTypesDialog.h"
#include "raw/TraceTree.h"
#include "snapshot/SnapshotFile.h"
#include "snapshot/SnapshotTexts.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/FileSystemPage.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::app {
namespace {

constexpr int kScanTimeoutMs = 60000;

class WizardTest : public WindowTest {
 protected:

  void Open(const std::filesystem::path& image, ScanMode mode = ScanMode::kQuick) {
    wizard_->start->path->setText(QString::fromStdString(image.string()));
    QWidget* button = mode == ScanMode::kQuick       ? static_cast<QWidget*>(wizard_->start->quick)
                      : mode == ScanMode::kExtensive ? static_cast<QWidget*>(wizard_->start->extensive)
                                                     : static_cast<QWidget*>(wizard_->start->trace);
    QTest::mouseClick(button, Qt::LeftButton);
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
  // The failure, then the offer to read the file as a raw disk (declined).
  ASSERT_GE(messages_.size(), 2u);
  EXPECT_EQ(messages_[messages_.size() - 2].first, QString(OpenFailureMessage(ImageKind::kVhdx, true)));
  EXPECT_EQ(messages_[messages_.size() - 2].second, MessageKind::kError);
  EXPECT_EQ(Last(), QString(AppTexts::kReadAsRawQuestion));
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
  EXPECT_GT(wizard_->session().Store().Files().size(), 1000u);

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
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
}

TEST_F(WizardTest, ClosingDuringAScanStopsTheWorkerAndWaitsForIt) {
  Open(test::FatFixture("fat32.vhdx"));
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  // Held at its first check, the scan is surely running when the window closes.
  wizard_->worker().HoldNextStart();
  wizard_->PartitionScan();
  ASSERT_TRUE(wizard_->Busy());
  onQuestion_ = [](const QString&) { return kNo; };
  EXPECT_FALSE(window_->close()) << "No keeps the window and the scan";
  EXPECT_TRUE(wizard_->Busy());
  EXPECT_EQ(Last(), QString(AppTexts::kCloseQuestion));
  EXPECT_FALSE(Shown(SnapshotTexts::kSaveOnClose)) << "no snapshot of a scan that has not ended";
  onQuestion_ = [](const QString&) { return kYes; };
  EXPECT_TRUE(window_->close());
  EXPECT_FALSE(wizard_->Busy());
  EXPECT_FALSE(wizard_->worker().Running());
}

TEST_F(WizardTest, ClosingAfterAScanOffersASnapshotFirst) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  test::TempDir dir;
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "end").string()); };
  onQuestion_ = [](const QString&) { return kYes; };
  EXPECT_TRUE(window_->close());
  ASSERT_GE(messages_.size(), 2u);
  EXPECT_EQ(messages_[messages_.size() - 2].first, QString(SnapshotTexts::kSaveOnClose));
  EXPECT_EQ(Last(), QString(AppTexts::kCloseQuestion));
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / "end.dvsf"));
}

TEST_F(WizardTest, BackAndHomeFromEveryPageFreeWhatThePageBuilt) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
  EXPECT_TRUE(wizard_->session().Store().Files().empty());
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
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
  Open(test::FatFixture("fat16.vhdx"));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  QTest::mouseClick(wizard_->drive->buttons.home, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
}

TEST_F(WizardTest, ParentRowIsNeverCheckableAndUncheckingTheLastChildClearsAncestors) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  ResultsPage* results = wizard_->results;
  const ResultTree& tree = *wizard_->session().Tree();
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

void ExpectManifestSaved(const std::filesystem::path& out, const std::string& disk);

// The rows of the shown list by name.
int RowNamed(const FileListModel& list, const std::u16string& name) {
  for (int r = 0; r < list.rowCount(); ++r)
    if (list.Row(r)->name == name) return r;
  return -1;
}

TEST_F(WizardTest, RenamedItemsAreSavedUnderTheirNewNamesAndPropertiesCountTheSubtree) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  ResultsPage* results = wizard_->results;
  FileListModel* list = results->listModel;
  const ResultTree& tree = *wizard_->session().Tree();
  results->folders->setCurrentIndex(results->treeModel->IndexOf(*tree.FindFolder(u"Docs")));

  // A file renamed through the list's editor, as F2 starts it; an empty name keeps the old one.
  const int report = RowNamed(*list, u"REPORT.TXT") >= 0 ? RowNamed(*list, u"REPORT.TXT") : RowNamed(*list, u"Report.txt");
  ASSERT_GE(report, 0);
  results->details->setCurrentIndex(list->index(report, FileListModel::kName));
  EXPECT_FALSE(list->setData(list->index(report, FileListModel::kName), QString(), Qt::EditRole));
  results->RenameCurrent();
  auto* editor = results->details->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr) << "Rename opens the name's editor";
  editor->setText(QStringLiteral("Renamed.md"));
  QTest::keyClick(editor, Qt::Key_Return);
  // The editor hands its text over once the key's event has been handled.
  EXPECT_TRUE(QTest::qWaitFor([&] { return list->Row(report)->name == u"Renamed.md"; }, 5000));
  EXPECT_EQ(list->data(list->index(report, FileListModel::kType), Qt::DisplayRole).toString(), QStringLiteral("MD File"));

  // Properties, counted against the fixture's manifest: every file and folder below Docs.
  std::uint64_t files = 0, bytes = 0;
  std::set<std::string> folders;
  std::string reportSum;
  for (const test::ManifestFile& file : test::ReadManifest("fat32")) {
    if (file.deleted || file.path.rfind("Docs/", 0) != 0) continue;
    ++files;
    bytes += file.size;
    if (file.path == "Docs/Report.txt") reportSum = file.sha256;
    for (auto slash = file.path.find('/', 5); slash != std::string::npos; slash = file.path.find('/', slash + 1))
      folders.insert(file.path.substr(0, slash));
  }
  ASSERT_LT(bytes, 1u << 20);
  const auto fileProperties = results->CurrentProperties();
  ASSERT_TRUE(fileProperties);
  EXPECT_EQ(fileProperties->size, "3 KB") << "3000 bytes";
  const int sub = RowNamed(*list, u"Sub Folder");
  ASSERT_GE(sub, 0);
  results->details->setCurrentIndex(list->index(sub, FileListModel::kName));
  ASSERT_TRUE(list->setData(list->index(sub, FileListModel::kName), QStringLiteral("Moved"), Qt::EditRole));
  EXPECT_EQ(results->treeModel->data(results->treeModel->IndexOf(*tree.FindFolder(u"Docs/Moved")), Qt::DisplayRole),
            QStringLiteral("Moved"));
  results->OpenRow(0);
  const int docs = RowNamed(*list, u"Docs");
  ASSERT_GE(docs, 0);
  results->details->setCurrentIndex(list->index(docs, FileListModel::kName));
  const auto docsProperties = results->CurrentProperties();
  ASSERT_TRUE(docsProperties);
  EXPECT_EQ(docsProperties->contains,
            std::to_string(files) + " File(s) and " + std::to_string(folders.size()) + " Folder(s)");
  EXPECT_EQ(docsProperties->size, "Less than 1 MB");

  // Only Docs saved: the renamed file and folder under their new names.
  results->treeModel->setData(results->treeModel->IndexOf(0), Qt::Unchecked, Qt::CheckStateRole);
  results->treeModel->setData(results->treeModel->IndexOf(*tree.FindFolder(u"Docs")), Qt::Checked, Qt::CheckStateRole);
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  const auto saved = test::HashTree(out.Path());
  ASSERT_TRUE(saved.count("Docs/Renamed.md")) << "saved under the new name";
  EXPECT_EQ(saved.at("Docs/Renamed.md"), reportSum);
  EXPECT_TRUE(saved.count("Docs/Moved/Deep/deeper file.txt"));
  EXPECT_FALSE(saved.count("Docs/Report.txt"));
  EXPECT_EQ(saved.size(), files);
}

TEST_F(WizardTest, SaveAllSavesEverythingAndGivesTheChecksBack) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  ResultsPage* results = wizard_->results;
  FolderTreeModel* model = results->treeModel;
  const ResultTree& tree = *wizard_->session().Tree();
  model->setData(model->IndexOf(0), Qt::Unchecked, Qt::CheckStateRole);
  const std::size_t docs = *tree.FindFolder(u"Docs");
  model->setData(model->IndexOf(docs), Qt::Checked, Qt::CheckStateRole);
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  window_->Command("saveAll")->trigger();
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  ExpectManifestSaved(out.Path(), "fat32");
  EXPECT_EQ(model->data(model->IndexOf(docs), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(model->data(model->IndexOf(0), Qt::CheckStateRole).toInt(), Qt::PartiallyChecked)
      << "only Docs is checked again";
}

TEST_F(WizardTest, ContextMenuOnARowButNotOnItsCheckBox) {
  std::vector<QStringList> menus;
  window_->showMenu = [&](QMenu& menu, const QPoint&) {
    QStringList texts;
    for (QAction* action : menu.actions())
      if (!action->isSeparator()) texts << action->text();
    menus.push_back(texts);
  };
  ScanToResults(test::FatFixture("fat16.vhdx"));
  QTreeView* view = wizard_->results->details;
  const QRect name = view->visualRect(wizard_->results->listModel->index(1, FileListModel::kName));
  const QRect type = view->visualRect(wizard_->results->listModel->index(1, FileListModel::kType));
  Q_EMIT view->customContextMenuRequested(QPoint(name.left() + 4, name.center().y()));
  EXPECT_TRUE(menus.empty()) << "a right click on the check box shows no menu";
  Q_EMIT view->customContextMenuRequested(type.center());
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(menus[0], (QStringList{"&Recover Selected...", "&View", "&Find Files...", "Re&name", "&Settings...",
                                   "&Properties..."}));
  Q_EMIT view->customContextMenuRequested(QPoint(type.center().x(), view->viewport()->height() - 2));
  EXPECT_EQ(menus.size(), 1u) << "no menu below the last row";
}

TEST_F(WizardTest, OpenedImagesAreRememberedAndAMissingOneLeavesTheList) {
  test::TempDir dir;
  const auto copy = dir.Path() / "copy.vhdx";
  std::filesystem::copy_file(test::FatFixture("fat16.vhdx"), copy);
  Open(copy);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  ASSERT_FALSE(window_->RecentFiles().isEmpty());
  EXPECT_EQ(window_->RecentFiles().front(), QString::fromStdString(copy.string()));
  QTest::mouseClick(wizard_->drive->buttons.home, Qt::LeftButton);
  wizard_->session().disk.Close();
  std::filesystem::remove(copy);
  const auto menu = window_->findChildren<QMenu*>();
  QAction* entry = nullptr;
  for (QMenu* m : menu)
    for (QAction* a : m->actions())
      if (a->toolTip() == QString::fromStdString(copy.string())) entry = a;
  ASSERT_NE(entry, nullptr) << "the recent-file menu lists it";
  entry->trigger();
  EXPECT_TRUE(Last().contains(QStringLiteral("was not found"))) << Last().toStdString();
  EXPECT_FALSE(window_->RecentFiles().contains(QString::fromStdString(copy.string())));
}

TEST_F(WizardTest, AChildWithoutItsParentOpensOnlyWhenTheUserGoesOn) {
  test::TempDir dir;
  const auto child = dir.Path() / "image-differential.vhd";
  std::filesystem::copy_file(test::SharedTestData("vhd-differencing/image-differential.vhd"), child);
  onQuestion_ = [](const QString&) { return kNo; };
  Open(child);
  EXPECT_TRUE(Last().contains(QStringLiteral("go on"))) << Last().toStdString();
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  onQuestion_ = [](const QString&) { return kYes; };
  Open(child);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
}

// Every live file of the manifest saved with its bytes.
void ExpectManifestSaved(const std::filesystem::path& out, const std::string& disk) {
  const auto saved = test::HashTree(out);
  for (const test::ManifestFile& file : test::ReadManifest(disk)) {
    if (file.deleted) continue;
    const auto it = saved.find(file.path);
    ASSERT_NE(it, saved.end()) << file.path;
    EXPECT_EQ(it->second, file.sha256) << file.path;
  }
}

// The title names the image or snapshot shown, and file dialogs start beside it.
TEST_F(WizardTest, ASnapshotSavedAndLoadedAgainShowsTheTreeAndSavesTheBytes) {
  const auto titled = [](const char* name) { return QStringLiteral("%1 - %2").arg(name, AppTexts::kProduct); };
  const auto canonical = [](const QString& folder) { return QFileInfo(folder).canonicalFilePath(); };
  const QString fixtures = canonical(QString::fromStdString(test::FatFixture("fat32.vhdx").parent_path().string()));
  EXPECT_EQ(window_->windowTitle(), QString(AppTexts::kProduct));
  ScanToResults(test::FatFixture("fat32.vhdx"));
  EXPECT_EQ(window_->windowTitle(), titled("fat32.vhdx"));
  EXPECT_EQ(canonical(wizard_->DialogFolder()), fixtures);
  const std::size_t nodes = wizard_->session().Tree()->Nodes().size();
  test::TempDir dir;
  QString suggested;
  wizard_->chooseSnapshotToSave = [&](const QString& name) {
    suggested = name;
    return QString::fromStdString((dir.Path() / "kept").string());
  };
  ASSERT_TRUE(window_->Command("saveSnapshot")->isEnabled());
  window_->Command("saveSnapshot")->trigger();
  const auto file = dir.Path() / "kept.dvsf";
  ASSERT_TRUE(std::filesystem::exists(file)) << "the extension is added";
  EXPECT_TRUE(suggested.startsWith(QStringLiteral("fat32.vhdx_Quick Scan_"))) << suggested.toStdString();
  const auto size = std::filesystem::file_size(file);

  // Saving again over it asks first; No leaves the file as it was.
  onQuestion_ = [](const QString&) { return kNo; };
  std::filesystem::resize_file(file, 10);
  EXPECT_FALSE(wizard_->snapshots().Save());
  EXPECT_EQ(Last(), QString::fromStdString(ReplaceQuestion(file)));
  EXPECT_EQ(std::filesystem::file_size(file), 10u);
  onQuestion_ = [](const QString&) { return kYes; };
  EXPECT_TRUE(wizard_->snapshots().Save());
  EXPECT_EQ(std::filesystem::file_size(file), size);

  // Home after a scan offers to keep it; then the snapshot loads on the drive page.
  messages_.clear();
  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  EXPECT_TRUE(Shown(SnapshotTexts::kSaveOnBack));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_EQ(window_->windowTitle(), QString(AppTexts::kProduct));
  Open(test::FatFixture("fat32.vhdx"));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  ASSERT_TRUE(window_->Command("loadSnapshot")->isEnabled());
  wizard_->chooseSnapshotToLoad = [&] { return QString::fromStdString((dir.Path() / "kept").string()); };
  window_->Command("loadSnapshot")->trigger();
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_EQ(wizard_->session().Tree()->Nodes().size(), nodes);
  EXPECT_EQ(window_->windowTitle(), titled("kept.dvsf"));
  EXPECT_EQ(canonical(wizard_->DialogFolder()), canonical(QString::fromStdString(dir.Path().string())));
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  ExpectManifestSaved(out.Path(), "fat32");

  // Back from a loaded snapshot returns to the drive page, without the snapshot question.
  messages_.clear();
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  EXPECT_FALSE(Shown(SnapshotTexts::kSaveOnBack));
  EXPECT_EQ(window_->windowTitle(), titled("fat32.vhdx"));

  // A snapshot of another mode, and a damaged one, are refused with nothing shown.
  QTest::mouseClick(wizard_->drive->buttons.back, Qt::LeftButton);
  Open(test::FatFixture("fat32.vhdx"), ScanMode::kExtensive);
  window_->Command("loadSnapshot")->trigger();
  EXPECT_EQ(Last(), QString::fromStdString(ModeMismatchMessage(ScanMode::kQuick)));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  QTest::mouseClick(wizard_->drive->buttons.back, Qt::LeftButton);
  Open(test::FatFixture("fat32.vhdx"));
  std::filesystem::resize_file(file, size - 7);
  window_->Command("loadSnapshot")->trigger();
  EXPECT_EQ(Last(), QString(SnapshotTexts::kMismatch));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
}

TEST_F(WizardTest, ASnapshotFromTheCommandLineAsksForItsImageWhenFilesAreSaved) {
  ScanToResults(test::FatFixture("fat16.vhdx"));
  test::TempDir dir;
  const auto file = dir.Path() / "fat16.dvsf";
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString(file.string()); };
  ASSERT_TRUE(wizard_->snapshots().Save());
  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  wizard_->session().disk.Close();

  // As the command line gives it: in quotes.
  window_->OpenPath(QStringLiteral("\"%1\"").arg(QString::fromStdString(file.string())));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_FALSE(wizard_->session().ImageOpen());
  EXPECT_EQ(window_->RecentFiles().front(), QString::fromStdString(file.string()));

  // Another image is refused; the one it was made of is taken.
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  wizard_->chooseImage = [] { return QString::fromStdString(test::FatFixture("fat32.vhdx").string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(SnapshotTexts::kMismatch));
  EXPECT_TRUE(std::filesystem::is_empty(out.Path()));
  wizard_->chooseImage = [] { return QString::fromStdString(test::FatFixture("fat16.vhdx").string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  ExpectManifestSaved(out.Path(), "fat16");

  // Not a snapshot at all.
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  const auto junk = dir.Path() / "junk.dvsf";
  std::ofstream(junk) << "XX";
  window_->OpenPath(QString::fromStdString(junk.string()));
  EXPECT_EQ(Last(), QString(AppTexts::kInvalidFile));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
}

// The files of the File Trace fixture: extension, first sector, bytes, sum.
struct TracedTruth {
  std::string extension;
  std::uint64_t sector = 0;
  std::uint64_t size = 0;
  std::string sha256;
};

std::vector<TracedTruth> TraceManifest(const std::set<std::string>& extensions) {
  std::ifstream in(test::FixtureIn("trace", "trace.manifest"));
  std::vector<TracedTruth> files;
  TracedTruth t;
  std::string deleted, name;
  while (in >> t.extension >> t.sector >> deleted >> t.size >> t.sha256 >> name)
    if (extensions.count(t.extension)) files.push_back(t);
  return files;
}

TEST_F(WizardTest, FileTraceFindsTheChosenTypesAndSavesThemWhole) {
  const std::set<std::string> kinds = {".jpg", ".pdf", ".zip"};
  const auto truth = TraceManifest(kinds);
  ASSERT_GE(truth.size(), 3u);
  // The File Types dialog over the catalogue beside the program: OK with
  // nothing checked says so; then the three types, 1 MB per file.
  int asked = 0;
  wizard_->chooseTraceTypes = [&](std::uint32_t last) -> std::optional<TraceChoice> {
    ++asked;
    const auto catalogue = LoadCatalogue(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() +
                                         "/../Raw.dat");
    EXPECT_TRUE(catalogue.has_value());
    FileTypesDialog dialog(catalogue, last, wizard_->messenger());
    dialog.accept();
    EXPECT_EQ(Last(), QString(CatalogueTexts::kNothingChecked));
    dialog.CheckExtensions({".jpg", ".pdf", ".zip"});
    dialog.size->setCurrentIndex(0);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    return dialog.Choice();
  };
  Open(test::FixtureIn("trace", "trace.vhdx"), ScanMode::kFileTrace);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs))
      << Last().toStdString();
  EXPECT_EQ(asked, 1);

  // Every file of the three types at its first sector, and nothing of other types.
  const Session& session = wizard_->session();
  std::map<std::uint64_t, const FoundFile*> found;
  for (const FoundFile& f : session.traced) {
    found[f.firstSector] = &f;
    EXPECT_TRUE(kinds.count(QString::fromStdU16String(f.extension).toLower().toStdString())) << f.firstSector;
  }
  for (const TracedTruth& t : truth) EXPECT_TRUE(found.count(t.sector)) << t.extension << " at " << t.sector;
  ResultsPage* results = wizard_->results;
  ASSERT_TRUE(results->ShowsTrace());
  EXPECT_EQ(results->traceListModel->rowCount(), static_cast<int>(session.traced.size())) << "Root lists them all";
  EXPECT_EQ(results->traceTreeModel->rowCount(results->traceTreeModel->IndexOf(TraceTree::kRoot)), 3);

  // Unchecking the PDF type keeps its files out of the save.
  const TraceTree& tree = *session.traceTree;
  std::size_t pdfNode = 0;
  for (const std::size_t type : tree.Node(TraceTree::kRoot).children)
    if (tree.File(tree.Node(type).files.front()).extension == u".pdf") pdfNode = type;
  ASSERT_NE(pdfNode, 0u);
  results->traceTreeModel->setData(results->traceTreeModel->IndexOf(pdfNode), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(results->traceTreeModel->data(results->traceTreeModel->IndexOf(TraceTree::kRoot), Qt::CheckStateRole),
            Qt::PartiallyChecked);
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  // JPEG, PDF and ZIP record their end: a found file saved is the file itself.
  for (const TracedTruth& t : truth) {
    const FoundFile* f = found[t.sector];
    const auto path = out.Path() / QString::fromStdU16String(f->name).toStdString();
    if (t.extension == ".pdf") {
      EXPECT_FALSE(std::filesystem::exists(path)) << path;
      continue;
    }
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_EQ(test::HashTree(out.Path()).at(path.filename().string()), t.sha256) << path;
  }

  // The types' tree has the folder tree's menu, without Properties: Uncheck
  // and Check the ZIP type, and Recover This Folder saves its files alone.
  std::size_t zipNode = 0;
  for (const std::size_t type : tree.Node(TraceTree::kRoot).children)
    if (tree.File(tree.Node(type).files.front()).extension == u".zip") zipNode = type;
  ASSERT_NE(zipNode, 0u);
  const QModelIndex zipIndex = results->traceTreeModel->IndexOf(zipNode);
  const auto zipState = [&] { return results->traceTreeModel->data(zipIndex, Qt::CheckStateRole).toInt(); };
  results->folders->scrollTo(zipIndex);
  const QPoint onZip = results->folders->visualRect(zipIndex).center();
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
  pick = QStringLiteral("&Uncheck");
  Q_EMIT results->folders->customContextMenuRequested(onZip);
  EXPECT_EQ(texts, (QStringList{"&Check", "&Uncheck", "&Recover This Folder..."}));
  EXPECT_EQ(zipState(), Qt::Unchecked);
  EXPECT_EQ(results->folders->currentIndex(), zipIndex);
  pick = QStringLiteral("&Check");
  Q_EMIT results->folders->customContextMenuRequested(onZip);
  EXPECT_EQ(zipState(), Qt::Checked);
  test::TempDir zips;
  wizard_->chooseDestination = [&] { return QString::fromStdString(zips.Path().string()); };
  pick = QStringLiteral("&Recover This Folder...");
  Q_EMIT results->folders->customContextMenuRequested(onZip);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  std::set<std::string> zipNames, savedNames;
  for (const std::size_t i : tree.Node(zipNode).files) zipNames.insert(QString::fromStdU16String(tree.File(i).name).toStdString());
  for (const auto& [name, sum] : test::HashTree(zips.Path())) savedNames.insert(name);
  EXPECT_EQ(savedNames, zipNames);
  EXPECT_EQ(results->traceTreeModel->data(results->traceTreeModel->IndexOf(pdfNode), Qt::CheckStateRole), Qt::Unchecked)
      << "the user's checks come back";
  window_->showMenu = [](QMenu&, const QPoint&) {};

  // Kept in a snapshot and opened again without the image: the same files,
  // saved with the same bytes once the image is given.
  test::TempDir dir;
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "trace").string()); };
  ASSERT_TRUE(wizard_->snapshots().Save());
  const std::size_t count = session.traced.size();
  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(results->home, Qt::LeftButton);
  window_->OpenPath(QString::fromStdString((dir.Path() / "trace.dvsf").string()));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  ASSERT_TRUE(results->ShowsTrace());
  EXPECT_EQ(session.traced.size(), count);
  test::TempDir again;
  wizard_->chooseDestination = [&] { return QString::fromStdString(again.Path().string()); };
  wizard_->chooseImage = [] { return QString::fromStdString(test::FixtureIn("trace", "trace.vhdx").string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  const auto first = test::HashTree(out.Path());
  const auto second = test::HashTree(again.Path());
  EXPECT_EQ(second.size(), count) << "everything is checked in a loaded snapshot";
  for (const auto& [name, sum] : first) EXPECT_EQ(second.count(name) ? second.at(name) : "", sum) << name;
}

// The fixture's tar holds picture.png behind its second member's header;
// both are hits inside the tar, whose headers record where it ends. The
// File Types dialog offers leaving them out, on by default; the wizard keeps
// the choice with its recovery settings, leaves them out and says how many.
TEST_F(WizardTest, FileTraceLeavesOutHitsInsideFoundFilesUnlessTold) {
  const auto tars = TraceManifest({".tar"});
  ASSERT_EQ(tars.size(), 1u);
  const TracedTruth& tar = tars.front();
  bool shownChecked = false;
  std::optional<bool> skip;  // what the test sets in the dialog, if anything
  wizard_->chooseTraceTypes = [&](std::uint32_t last) -> std::optional<TraceChoice> {
    const auto catalogue = LoadCatalogue(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() +
                                         "/../Raw.dat");
    FileTypesDialog dialog(catalogue, last, wizard_->messenger());
    dialog.ShowSettings(wizard_->session().settings);
    shownChecked = dialog.skipInner->isChecked();
    if (skip) dialog.skipInner->setChecked(*skip);
    dialog.CheckExtensions({".tar", ".png"});
    dialog.accept();
    dialog.KeepSettings(wizard_->session().settings);
    return dialog.Choice();
  };
  const auto trace = [&] {
    messages_.clear();
    Open(test::FixtureIn("trace", "trace.vhdx"), ScanMode::kFileTrace);
    EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
    std::vector<std::uint64_t> sectors;
    for (const FoundFile& f : wizard_->session().traced) sectors.push_back(f.firstSector);
    const QString said = Last();
    onQuestion_ = [](const QString&) { return kNo; };
    QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
    return std::pair(sectors, said);
  };
  const auto inside = [&](std::uint64_t sector) {
    return sector > tar.sector && sector < tar.sector + (tar.size + 511) / 512;
  };

  const auto [left, leftSaid] = trace();
  EXPECT_TRUE(shownChecked) << "on by default";
  EXPECT_TRUE(std::count(left.begin(), left.end(), tar.sector)) << "the tar itself";
  EXPECT_EQ(std::count_if(left.begin(), left.end(), inside), 0);

  skip = false;
  const auto [kept, keptSaid] = trace();
  EXPECT_FALSE(wizard_->session().settings.skipHitsInsideFound) << "kept with the recovery settings";
  const auto within = std::count_if(kept.begin(), kept.end(), inside);
  EXPECT_EQ(within, 2) << "the second member's header and the picture in it";
  EXPECT_EQ(kept.size(), left.size() + 2);
  EXPECT_EQ(leftSaid, QStringLiteral("2 hit(s) inside files found before them left out."));
  EXPECT_NE(keptSaid, leftSaid) << "nothing left out, nothing said";

  skip.reset();
  trace();
  EXPECT_FALSE(shownChecked) << "shown as left last time";
}

TEST_F(WizardTest, ExtensiveRangeFieldsTakeNoSectorPastTheDisk) {
  // Typed key by key, as a person does; what the field refused is not in it.
  const auto typed = [](QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
    return field->text();
  };
  for (const char* image : {"fat16.vhdx", "fat32.vhdx"}) {
    Open(test::FatFixture(image), ScanMode::kExtensive);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
    const qulonglong sectors = wizard_->session().reader.SectorCount();
    ASSERT_LT(sectors, 99999999u);
    QLineEdit* start = wizard_->partition->startSector;
    QLineEdit* end = wizard_->partition->endSector;
    EXPECT_TRUE(end->hasAcceptableInput()) << "the whole disk, as offered";
    EXPECT_TRUE(wizard_->partition->range->title().endsWith(QStringLiteral("0 to %1)").arg(QLocale().toString(sectors))))
        << wizard_->partition->range->title().toStdString();

    EXPECT_LE(typed(end, QStringLiteral("99999999")).toULongLong(), sectors) << image;
    EXPECT_EQ(typed(end, QString::number(sectors)), QString::number(sectors));
    EXPECT_NE(typed(end, QString::number(sectors + 1)), QString::number(sectors + 1));
    EXPECT_EQ(typed(start, QString::number(sectors - 1)), QString::number(sectors - 1));
    EXPECT_NE(typed(start, QString::number(sectors)), QString::number(sectors));
    EXPECT_EQ(typed(start, QStringLiteral("12x")), QStringLiteral("12"));

    // A range inside the disk still scans.
    typed(start, QStringLiteral("0"));
    typed(end, QString::number(sectors / 2));
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kFileSystem; }, kScanTimeoutMs))
        << Last().toStdString();
    EXPECT_EQ(wizard_->session().searchedRange.lastSector, sectors / 2);
    wizard_->Home();
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  }
}

TEST_F(WizardTest, ExtensiveScanFindsAVolumeWithoutItsBootSectorsAndRecoversItsFiles) {
  // ntfslost: the MBR and both NTFS boot sectors are zeros.
  const auto truth = test::ReadTruth("ntfslost");
  Open(test::ExtensiveFixture("ntfslost.vhd"), ScanMode::kExtensive);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  EXPECT_EQ(wizard_->partition->fileSystem->currentText(), QStringLiteral("NTFS"));
  QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kFileSystem; }, kScanTimeoutMs))
      << Last().toStdString();
  QTreeWidget* found = wizard_->fileSystem->list;
  ASSERT_EQ(found->topLevelItemCount(), 1);
  EXPECT_EQ(found->topLevelItem(0)->text(0), QStringLiteral("NTFS @ %1").arg(truth[0].start));
  QTest::mouseClick(wizard_->fileSystem->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs))
      << Last().toStdString();

  // The folders and the root file the volume was given, nothing of NTFS's own.
  ResultsPage* results = wizard_->results;
  const ResultTree& tree = *wizard_->session().Tree();
  FolderTreeModel* model = results->treeModel;
  model->setData(model->IndexOf(0), Qt::Unchecked, Qt::CheckStateRole);
  for (const char16_t* name : {u"Alpha", u"Beta"}) {
    const auto node = tree.FindFolder(name);
    ASSERT_TRUE(node) << QString::fromStdU16String(name).toStdString();
    model->setData(model->IndexOf(*node), Qt::Checked, Qt::CheckStateRole);
  }
  results->ShowNode(ResultTree::kRoot);
  const int top = RowNamed(*results->listModel, u"top file.txt");
  ASSERT_GE(top, 0);
  results->listModel->setData(results->listModel->index(top, 0), Qt::Checked, Qt::CheckStateRole);
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  EXPECT_EQ(test::HashTree(out.Path()), test::VolumeFiles("ntfslost", 1));

  // Back to the list of file systems: the same volume opens again without a new search.
  QTest::mouseClick(results->back, Qt::LeftButton);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kFileSystem);
  EXPECT_EQ(found->topLevelItemCount(), 1);
  QTest::mouseClick(wizard_->fileSystem->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));

  // Its snapshot, opened from the command line, lists the same tree and saves the same files.
  const std::size_t nodes = wizard_->session().Tree()->Nodes().size();
  test::TempDir dir;
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "ntfs").string()); };
  ASSERT_TRUE(wizard_->snapshots().Save());
  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(results->home, Qt::LeftButton);
  window_->OpenPath(QString::fromStdString((dir.Path() / "ntfs.dvsf").string()));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_EQ(wizard_->session().mode, ScanMode::kExtensive);
  EXPECT_EQ(wizard_->session().Tree()->Nodes().size(), nodes);
  test::TempDir again;
  wizard_->chooseDestination = [&] { return QString::fromStdString(again.Path().string()); };
  wizard_->chooseImage = [] { return QString::fromStdString(test::ExtensiveFixture("ntfslost.vhd").string()); };
  QTest::mouseClick(results->recover, Qt::LeftButton);
  const auto saved = test::HashTree(again.Path());
  for (const auto& [path, sum] : test::VolumeFiles("ntfslost", 1)) {
    ASSERT_TRUE(saved.count(path)) << path;
    EXPECT_EQ(saved.at(path), sum) << path;
  }
}


// Each page's list takes the keyboard; Return that no control uses presses
// the page's forward button (keypad Enter too); a focused Back takes its own.
TEST_F(WizardTest, ReturnPressesTheForwardButtonOfThePageShown) {
  // Return in the path box opens the image for a Quick Scan, and only that.
  wizard_->start->path->setText(QString::fromStdString(test::FatFixture("fat16.vhdx").string()));
  QTest::keyClick(wizard_->start->path, Qt::Key_Return);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  EXPECT_EQ(wizard_->session().mode, ScanMode::kQuick);
  EXPECT_FALSE(wizard_->Busy()) << "the drive page's Next was pressed too";
  ASSERT_EQ(window_->focusWidget(), wizard_->drive->devices);
  QTest::keyClick(window_->focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));

  QTest::keyClick(wizard_->partition->buttons.back, Qt::Key_Return);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  QTest::keyClick(wizard_->drive->devices, Qt::Key_Enter, Qt::KeypadModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));

  ASSERT_EQ(wizard_->partition->Selected(), 0);
  ASSERT_EQ(window_->focusWidget(), wizard_->partition->partitions);
  QTest::keyClick(window_->focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  EXPECT_EQ(wizard_->ForwardButton(), nullptr);
}


// File Trace says why it cannot start when its list of types is missing or
// names no type (empty, or records of zeros), and stays on the partition
// page; the list beside the program is taken without a word.
TEST_F(WizardTest, FileTraceSaysWhenItsListOfTypesIsMissingOrDamaged) {
  Open(test::FatFixture("fat16.vhdx"), ScanMode::kFileTrace);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));

  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.dat", {});
  test::WriteFileBytes(dir / "zeros.dat", std::vector<std::uint8_t>(1024, 0));
  for (const auto& [name, says] : std::vector<std::pair<std::string, QString>>{
           {"none.dat", "is missing"}, {"empty.dat", "is damaged"}, {"zeros.dat", "is damaged"}}) {
    SCOPED_TRACE(name);
    messages_.clear();
    wizard_->cataloguePath = dir / name;
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(Last().contains(says)) << Last().toStdString();
    EXPECT_TRUE(Last().contains(QString::fromStdString(name))) << Last().toStdString();
    EXPECT_EQ(messages_.back().second, MessageKind::kError);
    EXPECT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
    EXPECT_FALSE(wizard_->Busy());
  }
  messages_.clear();
  wizard_->cataloguePath = QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + "/../Raw.dat";
  const std::optional<Catalogue> catalogue = wizard_->trace().LoadCatalogue();
  ASSERT_TRUE(catalogue.has_value());
  EXPECT_FALSE(catalogue->categories.empty());
  EXPECT_TRUE(messages_.empty()) << Last().toStdString();
}

}  // namespace
}  // namespace dravik::app

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QStandardPaths::setTestModeEnabled(true);
  // The settings the window keeps (recent files, the last snapshot, window
  // and splitter sizes) go to a folder of this process, so that no test sees
  // what an earlier run or another test left.
  QTemporaryDir settings;
  qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
