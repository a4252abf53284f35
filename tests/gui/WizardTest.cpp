// The desktop program driven as a user drives it through the real engine on the fixture images: one road per
// scan mode (the saved files' bytes left to the engine's tests), and what only a real scan shows.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <fstream>
#include <set>

#include "ExtFixtures.h"
#include "WindowTest.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/TraceModels.h"
#include "app/trace/FileTypesDialog.h"
#include "app/wizard/PreviewController.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/SnapshotController.h"
#include "fs/QuickScan.h"
#include "preview/PreviewPane.h"
#include "raw/TraceTree.h"
#include "save/SaveDriver.h"
#include "snapshot/SnapshotFile.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik::app {
namespace {

using Saved = std::map<std::string, std::string>;

Saved Below(const Saved& files, const std::string& folder) {
  Saved below;
  for (const auto& [path, sum] : files)
    if (path.rfind(folder, 0) == 0) below[path] = sum;
  return below;
}

std::filesystem::path CataloguePath() {
  return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + "/../Raw.dat";
}

class WizardTest : public WindowTest {
 protected:
  // The File Types dialog over the catalogue beside the program, with these types checked.
  void ChooseTypes(std::set<std::string> extensions) {
    wizard_->chooseTraceTypes = [this, extensions](std::uint32_t last) -> std::optional<TraceChoice> {
      FileTypesDialog dialog(LoadCatalogue(CataloguePath()), last, wizard_->messenger());
      dialog.ShowSettings(wizard_->session().settings);
      shownSkip_ = dialog.skipInner->isChecked();
      if (skipInner_) dialog.skipInner->setChecked(*skipInner_);
      dialog.accept();  // nothing checked: refused with a message
      QStringList checked;
      for (const std::string& extension : extensions) checked << QString::fromStdString(extension);
      dialog.CheckExtensions(checked);
      dialog.accept();
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
      dialog.KeepSettings(wizard_->session().settings);
      return dialog.Choice();
    };
  }
  std::optional<bool> skipInner_;
  bool shownSkip_ = false;
};

// The Quick Scan road on FAT32: a file renamed and previewed, Save All (checks given back), a partly
// checked folder (the save window ends on the checked total), Recover This Folder from the tree's menu,
// Back freeing the results.
TEST_F(WizardTest, QuickScanRoadSavesTheTreeUnderItsNamesAndPaths) {
  ScanToResults(test::FatFixture("fat32.vhdx"));
  EXPECT_TRUE(Shown(QuickScanTexts::kFound));
  ResultsPage* results = wizard_->results;
  FolderTreeModel* model = results->treeModel;
  const ResultTree& tree = *wizard_->session().Tree();
  const std::size_t docs = *tree.FindFolder(u"Docs");
  results->folders->setCurrentIndex(model->IndexOf(docs));
  FileListModel* list = results->listModel;
  const int report = RowNamed(u"Report.txt");
  ASSERT_GE(report, 0);
  ASSERT_TRUE(list->setData(list->index(report, FileListModel::kName), QStringLiteral("Renamed.txt"), Qt::EditRole));
  // Shown as text, written for the preview once; not again when it is chosen again.
  results->details->setCurrentIndex(list->index(report, 0));
  EXPECT_EQ(results->preview->Shown(), preview::ViewerKind::kText);
  results->details->setCurrentIndex(list->index(0, 0));
  results->details->setCurrentIndex(list->index(report, 0));
  EXPECT_EQ(wizard_->preview().Extractions(), 1);
  // Save All with only Docs checked: everything, the renamed file under its new name.
  model->setData(model->IndexOf(0), Qt::Unchecked, Qt::CheckStateRole);
  model->setData(model->IndexOf(docs), Qt::Checked, Qt::CheckStateRole);
  const Saved all = SaveChecked([&] { window_->Command("saveAll")->trigger(); });
  for (const test::ManifestFile& file : test::ReadManifest("fat32")) {  // their bytes: the engine's tests
    const std::string path = file.path == "Docs/Report.txt" ? "Docs/Renamed.txt" : file.path;
    if (!file.deleted) EXPECT_TRUE(all.count(path)) << path;
  }
  EXPECT_EQ(model->data(model->IndexOf(docs), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(model->data(model->IndexOf(0), Qt::CheckStateRole).toInt(), Qt::PartiallyChecked) << "checks given back";
  // Docs partly checked: its other files where the whole save put them; the save window read at the report.
  list->setData(list->index(report, 0), Qt::Unchecked, Qt::CheckStateRole);
  ASSERT_EQ(model->data(model->IndexOf(docs), Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  const Session& s = wizard_->session();
  const SelectedFiles selected = CountSelected(s.Store(), *s.Tree(), s.settings, s.filter);
  QString files, bytes;
  bool enterPressesAButton = false;
  wizard_->messenger().SetFunction([&](const QString& text, MessageKind kind, bool yesNo) {
    if (auto* dialog = window_->findChild<SaveProgressDialog*>()) {
      files = dialog->FilesText(), bytes = dialog->BytesText();
      for (QPushButton* button : {dialog->SkipButton(), dialog->StopButton()})
        enterPressesAButton |= button->autoDefault() || button->isDefault();
    }
    messages_.push_back({text, kind});
    return yesNo ? kNo : kYes;
  });
  Saved docsFiles = Below(all, "Docs/");
  docsFiles.erase("Docs/Renamed.txt");
  EXPECT_EQ(SaveChecked(), docsFiles);
  EXPECT_EQ(files, QStringLiteral("File %1 of %1").arg(selected.files));
  EXPECT_TRUE(bytes.startsWith(QLocale().formattedDataSize(static_cast<qint64>(selected.bytes), 1, QLocale::DataSizeTraditionalFormat)));
  EXPECT_FALSE(enterPressesAButton) << "a stray Enter neither skips a file nor asks to stop";
  // Recover This Folder on Sub Folder: its files alone; the checks come back.
  PickFromMenus(QStringLiteral("&Recover This Folder..."));
  const QModelIndex sub = model->IndexOf(*tree.FindFolder(u"Docs/Sub Folder"));
  results->folders->scrollTo(sub);
  const Saved subFiles =
      SaveChecked([&] { Q_EMIT results->folders->customContextMenuRequested(results->folders->visualRect(sub).center()); });
  EXPECT_EQ(subFiles, Below(all, "Docs/Sub Folder/"));
  EXPECT_EQ(model->data(model->IndexOf(docs), Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  results->folders->setCurrentIndex(model->IndexOf(docs));
  results->details->setCurrentIndex(list->index(RowNamed(u"Renamed.txt"), 0));
  ASSERT_NE(results->preview->Current(), nullptr);
  QTest::mouseClick(results->back, Qt::LeftButton);
  EXPECT_EQ(results->preview->Current(), nullptr) << "Back frees the results and clears the pane";
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
  EXPECT_TRUE(wizard_->session().Store().Files().empty());
}

TEST_F(WizardTest, StartPageRefusesBadPathsAndRemembersImages) {
  Open("");
  EXPECT_EQ(Last(), QString(AppTexts::kEmptyPath));
  Open("/nonexistent/disk.vhdx");
  EXPECT_EQ(messages_.back().second, MessageKind::kQuestion);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  test::TempDir dir;
  const auto child = dir.Path() / "image-differential.vhd";
  std::filesystem::copy_file(test::SharedTestData("vhd-differencing/image-differential.vhd"), child);
  Open(child);
  EXPECT_EQ(messages_.back().second, MessageKind::kQuestion) << "go on without the parent?";
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  onQuestion_ = [](const QString&) { return kYes; };
  Open(child);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  QTest::mouseClick(wizard_->drive->buttons.home, Qt::LeftButton);
  wizard_->session().disk.Close();
  onQuestion_ = nullptr;
  // Opened images are remembered; a missing one leaves the list.
  const auto copy = dir.Path() / "copy.vhdx";
  std::filesystem::copy_file(test::FatFixture("fat16.vhdx"), copy);
  Open(copy);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  ASSERT_FALSE(window_->RecentFiles().isEmpty());
  EXPECT_EQ(window_->RecentFiles().front(), QString::fromStdString(copy.string()));
  QTest::mouseClick(wizard_->drive->buttons.home, Qt::LeftButton);
  wizard_->session().disk.Close();
  std::filesystem::remove(copy);
  QAction* entry = nullptr;
  for (QMenu* m : window_->findChildren<QMenu*>())
    for (QAction* a : m->actions())
      if (a->toolTip() == QString::fromStdString(copy.string())) entry = a;
  ASSERT_NE(entry, nullptr) << "the recent-file menu lists it";
  entry->trigger();
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_FALSE(window_->RecentFiles().contains(QString::fromStdString(copy.string())));
}

TEST_F(WizardTest, StopAnsweredNoGoesOnAndYesEndsWithWhatWasFound) {
  ToPartitionPage(test::FatFixture("fat32.vhd"));
  // The scan starts held, so that the question finds it working.
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
  // Yes before it read anything: the notice for an empty result leads back to the start page.
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

// Each page's list takes the keyboard; Return that no control uses presses the page's forward button (keypad Enter
// too); a focused Back takes its own. Closing during the scan that Return started asks first; Yes stops the worker,
// and the next start offers the image of the last.
TEST_F(WizardTest, ReturnPressesTheForwardButtonAndClosingDuringTheScanAsks) {
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
  EXPECT_TRUE(wizard_->session().partitions.Empty()) << "Back frees the partitions found";
  QTest::keyClick(wizard_->drive->devices, Qt::Key_Enter, Qt::KeypadModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  ASSERT_EQ(window_->focusWidget(), wizard_->partition->partitions);
  wizard_->worker().HoldNextStart();
  QTest::keyClick(window_->focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(wizard_->Busy()) << "Return started the scan";
  EXPECT_FALSE(window_->close()) << "No keeps the window and the scan";
  EXPECT_TRUE(wizard_->Busy());
  EXPECT_EQ(Last(), QString(AppTexts::kCloseQuestion));
  EXPECT_FALSE(Shown(SnapshotTexts::kSaveOnClose)) << "no snapshot of a scan that has not ended";
  onQuestion_ = [](const QString&) { return kYes; };
  EXPECT_TRUE(window_->close());
  EXPECT_FALSE(wizard_->Busy());
  EXPECT_FALSE(wizard_->worker().Running());
  EXPECT_EQ(QFileInfo(MainWindow().wizard()->start->path->text()).canonicalFilePath(),
            QFileInfo(QString::fromStdString(test::FatFixture("fat16.vhdx").string())).canonicalFilePath());
}

// File dialogs start beside the image or snapshot shown; a snapshot opened from
// the command line asks for its image when files are saved.
TEST_F(WizardTest, ASnapshotSavedAndLoadedAgainShowsTheTreeAndSavesTheSameFiles) {
  const auto canonical = [](const QString& folder) { return QFileInfo(folder).canonicalFilePath(); };
  ScanToResults(test::FatFixture("fat32.vhdx"));
  EXPECT_EQ(canonical(wizard_->DialogFolder()), canonical(QString::fromStdString(test::FatFixture("fat32.vhdx").parent_path().string())));
  const std::size_t nodes = wizard_->session().Tree()->Nodes().size();
  const Saved before = SaveChecked();
  test::TempDir dir;
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "kept").string()); };
  window_->Command("saveSnapshot")->trigger();
  const auto file = dir.Path() / "kept.dvsf";
  ASSERT_TRUE(std::filesystem::exists(file)) << "the extension is added";
  const auto size = std::filesystem::file_size(file);
  // Saving again over it asks first; No leaves the file as it was.
  std::filesystem::resize_file(file, 10);
  EXPECT_FALSE(wizard_->snapshots().Save());
  EXPECT_EQ(Last(), QString::fromStdString(ReplaceQuestion(file)));
  EXPECT_EQ(std::filesystem::file_size(file), 10u);
  onQuestion_ = [](const QString&) { return kYes; };
  EXPECT_TRUE(wizard_->snapshots().Save());
  EXPECT_EQ(std::filesystem::file_size(file), size);
  // Home after a scan offers to keep it; then the snapshot loads on the drive page.
  onQuestion_ = [](const QString&) { return kNo; };
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  EXPECT_TRUE(Shown(SnapshotTexts::kSaveOnBack));
  Open(test::FatFixture("fat32.vhdx"));
  wizard_->chooseSnapshotToLoad = [&] { return QString::fromStdString(file.string()); };
  window_->Command("loadSnapshot")->trigger();
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_EQ(wizard_->session().Tree()->Nodes().size(), nodes);
  EXPECT_EQ(canonical(wizard_->DialogFolder()), canonical(QString::fromStdString(dir.Path().string())));
  EXPECT_EQ(SaveChecked(), before);
  // Back from a loaded snapshot: the drive page, without the snapshot question.
  messages_.clear();
  QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  EXPECT_FALSE(Shown(SnapshotTexts::kSaveOnBack));
  // From the command line, quoted as a shell may: another image is refused when saving, its own taken.
  QTest::mouseClick(wizard_->drive->buttons.back, Qt::LeftButton);
  wizard_->session().disk.Close();
  window_->OpenPath(QStringLiteral("\"%1\"").arg(QString::fromStdString(file.string())));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_FALSE(wizard_->session().ImageOpen());
  EXPECT_EQ(window_->RecentFiles().front(), QString::fromStdString(file.string()));
  wizard_->chooseImage = [] { return QString::fromStdString(test::FatFixture("fat16.vhdx").string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  EXPECT_EQ(Last(), QString(SnapshotTexts::kMismatch));
  wizard_->chooseImage = [] { return QString::fromStdString(test::FatFixture("fat32.vhdx").string()); };
  EXPECT_EQ(SaveChecked(), before);
  QTest::mouseClick(wizard_->results->home, Qt::LeftButton);
  std::ofstream(dir.Path() / "junk.dvsf") << "XX";
  window_->OpenPath(QString::fromStdString((dir.Path() / "junk.dvsf").string()));
  EXPECT_EQ(Last(), QString(AppTexts::kInvalidFile));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  // A snapshot of another mode, and a damaged one, are refused with nothing shown.
  Open(test::FatFixture("fat32.vhdx"), ScanMode::kExtensive);
  window_->Command("loadSnapshot")->trigger();
  EXPECT_EQ(Last(), QString::fromStdString(ModeMismatchMessage(ScanMode::kQuick)));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  QTest::mouseClick(wizard_->drive->buttons.back, Qt::LeftButton);
  Open(test::FatFixture("fat32.vhdx"));
  std::filesystem::resize_file(file, size - 7);
  window_->Command("loadSnapshot")->trigger();
  EXPECT_EQ(Last(), QString(SnapshotTexts::kMismatch));
  EXPECT_EQ(wizard_->session().Tree(), nullptr);
}

// The Extensive Scan road, for "ext2/3/4" on the WSL-like disk an NTFS quick format overwrote: both searches'
// progress, the volume found, Back to the list without a new search, its snapshot. Its files' bytes are the
// engine's (ExtExtensiveExtractTest).
TEST_F(WizardTest, ExtensiveScanRoadFindsTheExtVolumeBehindAFormat) {
  ResultsPage* results = wizard_->results;
  ToPartitionPage(test::ExtFixture("wsl-over.vhdx"), ScanMode::kExtensive);
  EXPECT_EQ(wizard_->drive->progress->Counter(1).toULongLong(), wizard_->session().reader.SectorCount())
      << "the partitions were searched for to the disk's end";
  QComboBox* kinds = wizard_->partition->fileSystem;
  kinds->setCurrentIndex(kinds->findText(QStringLiteral("ext2/3/4")));
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->partition->buttons.forward, Wizard::kFileSystem));
  EXPECT_GT(wizard_->partition->progress->Counter(0).toULongLong(), 0u) << "superblocks";
  QTreeWidget* found = wizard_->fileSystem->list;
  ASSERT_EQ(found->topLevelItemCount(), 1);
  EXPECT_TRUE(found->topLevelItem(0)->text(0).contains(QStringLiteral("EXT4 @ 0"))) << found->topLevelItem(0)->text(0).toStdString();
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->fileSystem->buttons.forward, Wizard::kResults));
  QTest::mouseClick(results->back, Qt::LeftButton);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kFileSystem);
  EXPECT_EQ(found->topLevelItemCount(), 1);
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->fileSystem->buttons.forward, Wizard::kResults));
  const std::size_t nodes = wizard_->session().Tree()->Nodes().size();
  test::TempDir dir;
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "ext").string()); };
  ASSERT_TRUE(wizard_->snapshots().Save());
  QTest::mouseClick(results->home, Qt::LeftButton);
  window_->OpenPath(QString::fromStdString((dir.Path() / "ext.dvsf").string()));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_EQ(wizard_->session().mode, ScanMode::kExtensive);
  EXPECT_EQ(wizard_->session().Tree()->Nodes().size(), nodes);
}

// Typed key by key, as a person does; what the field refused is not in it.
// A range inside the disk still scans, to the sector typed.
TEST_F(WizardTest, ExtensiveRangeFieldsTakeNoSectorPastTheDisk) {
  const auto typed = [](QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
    return field->text();
  };
  ToPartitionPage(test::FatFixture("fat16.vhdx"), ScanMode::kExtensive);
  const qulonglong sectors = wizard_->session().reader.SectorCount();
  QLineEdit* start = wizard_->partition->startSector;
  QLineEdit* end = wizard_->partition->endSector;
  EXPECT_TRUE(end->hasAcceptableInput()) << "the whole disk, as offered";
  EXPECT_TRUE(wizard_->partition->range->title().contains(QLocale().toString(sectors)));
  EXPECT_LE(typed(end, QStringLiteral("99999999")).toULongLong(), sectors);
  EXPECT_EQ(typed(end, QString::number(sectors)), QString::number(sectors));
  EXPECT_NE(typed(end, QString::number(sectors + 1)), QString::number(sectors + 1));
  EXPECT_EQ(typed(start, QString::number(sectors - 1)), QString::number(sectors - 1));
  EXPECT_NE(typed(start, QString::number(sectors)), QString::number(sectors));
  EXPECT_EQ(typed(start, QStringLiteral("12x")), QStringLiteral("12"));
  typed(start, QStringLiteral("0"));
  typed(end, QString::number(sectors / 2));
  wizard_->partition->fileSystem->setCurrentIndex(2);
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->partition->buttons.forward, Wizard::kFileSystem));
  EXPECT_EQ(wizard_->session().searchedRange.lastSector, sectors / 2);
}

// The File Trace road: only the chosen types found, hits inside found files left out (on by default, their
// number said), one type unchecked kept out, the tree's menu, the snapshot; a second trace told to keep the hits
// inside lists them too (the fixture's tar holds picture.png behind its second member's header), and the choice
// is kept with the settings.
TEST_F(WizardTest, FileTraceRoadFindsTheChosenTypesAndSavesTheCheckedOnes) {
  const std::set<std::string> kinds = {".jpg", ".pdf", ".zip", ".tar", ".png"};
  ChooseTypes(kinds);
  ToPartitionPage(test::FixtureIn("trace", "trace.vhdx"), ScanMode::kFileTrace);
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->partition->buttons.forward, Wizard::kResults));
  EXPECT_TRUE(Shown(CatalogueTexts::kNothingChecked));
  EXPECT_TRUE(shownSkip_) << "on by default";
  const QString leftOut = Last();
  const qulonglong inside = leftOut.section(u' ', 0, 0).toULongLong();
  EXPECT_GE(inside, 2u) << leftOut.toStdString();
  EXPECT_GT(wizard_->partition->progress->Counter(0).toULongLong(), 0u) << "sectors read";
  EXPECT_GE(wizard_->partition->progress->Counter(1).toULongLong(), 3u) << "files found";
  const Session& session = wizard_->session();
  for (const FoundFile& f : session.traced)
    EXPECT_TRUE(kinds.count(QString::fromStdU16String(f.extension).toLower().toStdString())) << f.firstSector;
  ResultsPage* results = wizard_->results;
  ASSERT_TRUE(results->ShowsTrace());
  EXPECT_EQ(results->traceListModel->rowCount(), static_cast<int>(session.traced.size())) << "Root lists them all";
  const TraceTree& tree = *session.traceTree;
  TraceTreeModel* model = results->traceTreeModel;
  EXPECT_EQ(model->rowCount(model->IndexOf(TraceTree::kRoot)), static_cast<int>(kinds.size()));
  const auto typeNode = [&](const char16_t* extension) {
    for (const std::size_t type : tree.Node(TraceTree::kRoot).children)
      if (tree.File(tree.Node(type).files.front()).extension == extension) return type;
    return std::size_t{0};
  };
  model->setData(model->IndexOf(typeNode(u".pdf")), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(model->data(model->IndexOf(TraceTree::kRoot), Qt::CheckStateRole), Qt::PartiallyChecked);
  const Saved saved = SaveChecked();
  for (const FoundFile& f : session.traced)  // every file found but the unchecked PDFs
    EXPECT_EQ(saved.count(QString::fromStdU16String(f.name).toStdString()), f.extension == u".pdf" ? 0u : 1u);
  // The types' tree menu: Uncheck and Check the ZIP type; Recover This Folder saves its files alone.
  const QModelIndex zip = model->IndexOf(typeNode(u".zip"));
  results->folders->scrollTo(zip);
  const QPoint onZip = results->folders->visualRect(zip).center();
  PickFromMenus(QStringLiteral("&Uncheck"));
  Q_EMIT results->folders->customContextMenuRequested(onZip);
  EXPECT_EQ(model->data(zip, Qt::CheckStateRole).toInt(), Qt::Unchecked);
  PickFromMenus(QStringLiteral("&Check"));
  Q_EMIT results->folders->customContextMenuRequested(onZip);
  EXPECT_EQ(model->data(zip, Qt::CheckStateRole).toInt(), Qt::Checked);
  PickFromMenus(QStringLiteral("&Recover This Folder..."));
  const Saved zips = SaveChecked([&] { Q_EMIT results->folders->customContextMenuRequested(onZip); });
  EXPECT_EQ(zips.size(), tree.Node(typeNode(u".zip")).files.size());
  for (const auto& [name, sum] : zips) EXPECT_EQ(saved.at(name), sum) << name;
  window_->showMenu = [](QMenu&, const QPoint&) {};
  // Kept in a snapshot and opened again without the image: the same files once the image is given.
  test::TempDir dir;
  wizard_->chooseSnapshotToSave = [&](const QString&) { return QString::fromStdString((dir.Path() / "trace").string()); };
  ASSERT_TRUE(wizard_->snapshots().Save());
  const std::size_t count = session.traced.size();
  QTest::mouseClick(results->home, Qt::LeftButton);
  window_->OpenPath(QString::fromStdString((dir.Path() / "trace.dvsf").string()));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  ASSERT_TRUE(results->ShowsTrace());
  EXPECT_EQ(session.traced.size(), count);
  wizard_->chooseImage = [] { return QString::fromStdString(test::FixtureIn("trace", "trace.vhdx").string()); };
  const Saved again = SaveChecked();
  EXPECT_EQ(again.size(), count) << "everything is checked in a loaded snapshot";
  for (const auto& [name, sum] : saved) EXPECT_EQ(again.count(name) ? again.at(name) : "", sum) << name;
  QTest::mouseClick(results->home, Qt::LeftButton);
  skipInner_ = false;
  ToPartitionPage(test::FixtureIn("trace", "trace.vhdx"), ScanMode::kFileTrace);
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->partition->buttons.forward, Wizard::kResults));
  EXPECT_EQ(session.traced.size(), count + inside);
  EXPECT_NE(Last(), leftOut) << "nothing left out, nothing said";
  FileTypesDialog dialog(LoadCatalogue(CataloguePath()), 0, wizard_->messenger());
  dialog.ShowSettings(session.settings);
  EXPECT_FALSE(dialog.skipInner->isChecked()) << "shown as left last time";
}

// File Trace says why it cannot start when its list of types is missing or names no type.
TEST_F(WizardTest, FileTraceSaysWhenItsListOfTypesIsMissingOrDamaged) {
  ToPartitionPage(test::FatFixture("fat16.vhdx"), ScanMode::kFileTrace);
  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.dat", {});
  test::WriteFileBytes(dir / "zeros.dat", std::vector<std::uint8_t>(1024, 0));
  for (const char* name : {"none.dat", "empty.dat", "zeros.dat"}) {
    SCOPED_TRACE(name);
    messages_.clear();
    wizard_->cataloguePath = dir / name;
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(Last().contains(QString::fromLatin1(name))) << Last().toStdString();
    EXPECT_EQ(messages_.back().second, MessageKind::kError);
    EXPECT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
    EXPECT_FALSE(wizard_->Busy());
  }
}

}  // namespace
}  // namespace dravik::app

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QStandardPaths::setTestModeEnabled(true);
  // The window's settings go to a folder of this process: no test sees what another left.
  QTemporaryDir settings;
  qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
