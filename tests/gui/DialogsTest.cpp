// The desktop program's dialogs driven on the offscreen platform through
// the real engine on the fixture images: the save dialog's Skip File, Stop
// Saving (answered No and Yes) and its refusal to close while it saves; the
// save report; the Recovery Settings dialog's choices reaching the next
// save; the drive and partition panes and the Drive Information dialog
// showing the scan's own values; the Partition Type question's answers on a
// disk whose table misses a partition.
//
// A save is acted on at a fixed point of it, never after a wait: the save
// dialog calls a hook on the save's own thread at every progress report,
// and the test's hook makes a blocking call into the dialog's thread, so
// the save waits at that report until the click there has been handled.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <set>

#include "FatFixtures.h"
#include "PartitionFixtures.h"
#include "WindowTest.h"
#include "app/DriveInformationDialog.h"
#include "app/RecoverySettingsDialog.h"
#include "app/results/FolderTreeModel.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/SaveReportDialog.h"
#include "app/wizard/CapacityChart.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/PartitionTypeDialog.h"

namespace dravik::app {
namespace {

namespace fs = std::filesystem;

class DialogsTest : public WindowTest {
 protected:
  // The partition page's item of partition index (its number in the list).
  QTreeWidgetItem* PartitionItem(int index) const {
    QTreeWidgetItem* disk = wizard_->partition->partitions->topLevelItem(0);
    for (int i = 0; disk && i < disk->childCount(); ++i)
      if (disk->child(i)->data(0, Qt::UserRole).toInt() == index) return disk->child(i);
    return nullptr;
  }

  // Only these folders of the result checked, through the folder tree.
  void CheckOnly(const std::vector<std::u16string>& folders) {
    FolderTreeModel* model = wizard_->results->treeModel;
    model->setData(model->IndexOf(ResultTree::kRoot), Qt::Unchecked, Qt::CheckStateRole);
    for (const std::u16string& folder : folders) {
      const auto node = wizard_->session().Tree()->FindFolder(folder);
      ASSERT_TRUE(node) << QString::fromStdU16String(folder).toStdString();
      model->setData(model->IndexOf(*node), Qt::Checked, Qt::CheckStateRole);
    }
  }

  void Recover(const fs::path& dest) {
    wizard_->chooseDestination = [dest] { return QString::fromStdString(dest.string()); };
    QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  }
};

// --- The save dialog --------------------------------------------------------

// The save dialog over sizes/ and trash/ of the FAT32 disk with 4 KiB
// clusters: sizes/big.bin (3 MiB) is copied in several blocks; trash/ is
// saved after it and holds deleted files too. One row per way of acting on
// the dialog while big.bin is begun and its first block about to be read.
TEST_F(DialogsTest, SaveDialogSkipsStopsOrGoesOnAsAskedAndReportsWhatIsWhole) {
  ASSERT_NO_FATAL_FAILURE(ScanToResults(test::FatFixture("fat32-4k.vhd")));
  ASSERT_NO_FATAL_FAILURE(CheckOnly({u"sizes", u"trash"}));
  std::map<std::string, std::string> expected;
  std::uint64_t bigSize = 0;
  for (const test::ManifestFile& file : test::ReadManifest("fat32-4k")) {
    if (file.key.rfind("sizes/", 0) == 0 || file.key.rfind("trash/", 0) == 0) expected[file.key] = file.sha256;
    if (file.key == "sizes/big.bin") bigSize = file.size;
  }
  ASSERT_GT(bigSize, 2u * 1024 * 1024);
  const std::string partial = test::CanonicalSavedPath("sizes/big.bin.partial");
  enum class Ends { kWhole, kBigSkipped, kStoppedAtBig };
  const struct {
    const char* name;
    int answer;  // to the stop question
    std::function<void(SaveProgressDialog&)> act;
    Ends ends;
  } kRows[] = {
      {"Skip File", kNo, [](SaveProgressDialog& d) { QTest::mouseClick(d.SkipButton(), Qt::LeftButton); }, Ends::kBigSkipped},
      {"Stop answered No", kNo, [](SaveProgressDialog& d) {
         QTest::mouseClick(d.StopButton(), Qt::LeftButton);
         EXPECT_TRUE(d.StopButton()->isEnabled());
       }, Ends::kWhole},
      {"Stop answered Yes", kYes, [](SaveProgressDialog& d) {
         QTest::mouseClick(d.StopButton(), Qt::LeftButton);
         EXPECT_FALSE(d.StopButton()->isEnabled());
       }, Ends::kStoppedAtBig},
      {"closing refused", kNo, [](SaveProgressDialog& d) {
         EXPECT_FALSE(d.close());
         QTest::keyClick(&d, Qt::Key_Escape);
         EXPECT_TRUE(d.isVisible());
       }, Ends::kWhole},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    messages_.clear();
    reportLines_.clear();
    onQuestion_ = [&](const QString&) { return row.answer; };
    test::TempDir out;
    wizard_->session().destination = out.Path();
    SaveProgressDialog dialog(wizard_->session(), wizard_->messenger(), window_.get());
    bool acted = false;
    int reports = 0;
    dialog.onProgress = [&](const SaveProgress& progress) {
      if (acted || progress.fileName != u"big.bin" || ++reports != 2) return;
      acted = true;
      QMetaObject::invokeMethod(&dialog, [&] { row.act(dialog); }, Qt::BlockingQueuedConnection);
    };
    dialog.exec();
    ASSERT_TRUE(acted);
    ASSERT_TRUE(dialog.Summary());
    std::map<std::string, std::string> saved;
    for (const auto& [path, sha] : test::HashTree(out.Path())) saved[test::CanonicalSavedPath(path)] = sha;
    EXPECT_EQ(dialog.Stopped(), row.ends == Ends::kStoppedAtBig);
    if (row.ends == Ends::kWhole) {
      EXPECT_EQ(saved, expected);
      EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
      continue;
    }
    // big.bin kept as far as it was written, under a name that says so, and named in the report.
    ASSERT_TRUE(saved.count(partial));
    const auto cut = fs::file_size(out.Path() / "sizes" / "big.bin.partial");
    EXPECT_GT(cut, 0u);
    EXPECT_LT(cut, bigSize);
    ASSERT_EQ(reportLines_.size(), 1);
    EXPECT_TRUE(reportLines_[0].contains(QString::number(bigSize - cut))) << reportLines_[0].toStdString();
    EXPECT_NE(Last(), QString(AppTexts::kSavedSuccessfully));
    saved.erase(partial);
    std::size_t whole = 0;
    for (const auto& [key, sha] : saved) whole += expected.count(key) && expected.at(key) == sha;
    EXPECT_EQ(whole, saved.size()) << "every other file saved is whole";
    EXPECT_EQ(dialog.Summary()->saved, whole);
    EXPECT_EQ(dialog.Summary()->interrupted, 1u);
    EXPECT_TRUE(Last().contains(QString::number(whole))) << Last().toStdString();
    if (row.ends == Ends::kBigSkipped)
      EXPECT_EQ(whole, expected.size() - 1) << "the files after big.bin too";
    else
      for (const auto& [key, sha] : saved) EXPECT_EQ(key.rfind("sizes/", 0), 0u) << key << ": saved after the stop";
  }
  EXPECT_GE(std::count_if(messages_.begin(), messages_.end(),
                          [](const auto& m) { return m.first == QString(AppTexts::kStopSavingFirst); }), 2);
}

// The report's list saved as text, or why not; the folder saved into opened
// through the dialog's hook (nothing is launched), and offered only when it is there.
TEST(SaveReportDialogTest, SaveListAndOpenDestinationFolder) {
  const QStringList lines = {QStringLiteral("interrupted\t/out/big.bin.partial: cut short (5 bytes missing)"),
                             QStringLiteral("failed\t/out/gone.txt: No space left on device (7 bytes missing)")};
  test::TempDir dir;
  const QString folder = QString::fromStdString(dir.Path().string());
  SaveReportDialog dialog(QStringLiteral("Not every file could be saved."), MessageKind::kError, lines, folder);
  EXPECT_EQ(dialog.list->toPlainText(), lines.join(u'\n'));
  ASSERT_TRUE(dialog.SaveList(QString::fromStdString((dir / "list.txt").string())));
  const auto bytes = test::ReadFileBytes(dir / "list.txt");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "Not every file could be saved.\n\n" + lines.join(u'\n').toStdString() + "\n");
  EXPECT_FALSE(dialog.SaveList(QString::fromStdString((dir / "no-such-folder" / "list.txt").string())));
  std::vector<QUrl> opened;
  bool opens = true;
  dialog.openUrl = [&](const QUrl& url) { opened.push_back(url); return opens; };
  QTest::mouseClick(dialog.openDestination, Qt::LeftButton);
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl::fromLocalFile(folder)});
  opens = false;
  dialog.saved->hide();
  QTest::mouseClick(dialog.openDestination, Qt::LeftButton);
  EXPECT_FALSE(dialog.saved->isHidden()) << "says it could not be opened";

  SaveReportDialog gone(QStringLiteral("Saving was stopped."), MessageKind::kInformation, {QStringLiteral("x")},
                        folder + QStringLiteral("/no-such-folder"));
  EXPECT_FALSE(gone.openDestination->isEnabled());
  SaveReportDialog none(QStringLiteral("Not every file could be saved."), MessageKind::kError, {QStringLiteral("x")});
  EXPECT_TRUE(none.openDestination->isHidden());
  // The program's own messenger shows this window for a save without a list too.
  QWidget parent;
  Messenger messenger(&parent);
  bool shown = false;
  QTimer::singleShot(0, &parent, [&] {
    auto* report = parent.findChild<SaveReportDialog*>();
    ASSERT_NE(report, nullptr);
    shown = report->isVisible() && report->list->isHidden() && report->openDestination->isEnabled();
    report->accept();
  });
  messenger.Report(QString::fromLatin1(AppTexts::kSavedSuccessfully), MessageKind::kInformation, {}, folder);
  EXPECT_TRUE(shown);
}

// --- Recovery Settings ------------------------------------------------------

// Opens Tools → Settings, lets edit change the open dialog and closes it
// with OK or Cancel.
void EditSettings(MainWindow& window, const std::function<void(RecoverySettingsDialog&)>& edit, bool ok) {
  bool seen = false;
  QTimer::singleShot(0, &window, [&] {
    auto* dialog = window.findChild<RecoverySettingsDialog*>();
    if (!dialog) return;
    seen = true;
    edit(*dialog);
    auto* box = dialog->findChild<QDialogButtonBox*>();
    QTest::mouseClick(box->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel), Qt::LeftButton);
  });
  window.Command("settings")->trigger();
  EXPECT_TRUE(seen) << "no settings dialog";
}

// Clicks the dialog's choice of that text.
void Choose(RecoverySettingsDialog& dialog, const QString& text) {
  for (QRadioButton* button : dialog.findChildren<QRadioButton*>()) {
    if (button->text() != text) continue;
    // On the indicator: a button stretched across its group takes clicks on its indicator and label only.
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
    EXPECT_TRUE(button->isChecked()) << text.toStdString();
    return;
  }
  ADD_FAILURE() << "no choice " << text.toStdString();
}

// OK without a change keeps every default of the engine, as the dialog showed
// them; a count of sectors chosen is kept and shown again.
TEST_F(DialogsTest, RecoverySettingsShowAndKeepTheEngineDefaults) {
  QString sectors;
  EditSettings(*window_, [&](RecoverySettingsDialog& dialog) { sectors = dialog.SectorsPerRead()->currentText(); }, true);
  const RecoverySettings defaults;
  const RecoverySettings& kept = wizard_->session().settings;
  EXPECT_EQ(sectors, QString::number(defaults.sectorsPerRead));
  EXPECT_EQ(kept.duplicates, defaults.duplicates);
  EXPECT_EQ(kept.deleted, defaults.deleted);
  EXPECT_EQ(kept.sectorsPerRead, defaults.sectorsPerRead);
  EXPECT_EQ(kept.retries, defaults.retries);
  EXPECT_EQ(kept.trimCarved, defaults.trimCarved);
  EditSettings(*window_, [](RecoverySettingsDialog& dialog) { dialog.SectorsPerRead()->setCurrentText(QStringLiteral("7")); }, true);
  EXPECT_EQ(kept.sectorsPerRead, 7u);
  EditSettings(*window_, [&](RecoverySettingsDialog& dialog) { sectors = dialog.SectorsPerRead()->currentText(); }, false);
  EXPECT_EQ(sectors, QStringLiteral("7"));
}

// Skip duplicates and only deleted files chosen, then Cancel: the next save
// into the same folder still renames and still takes the live files; the
// same with OK: a save into the same folder writes nothing new, one into a
// fresh folder only the deleted files (the save tests check the files' names and bytes).
TEST_F(DialogsTest, RecoverySettingsReachTheNextSaveAndCancelKeepsTheOld) {
  ASSERT_NO_FATAL_FAILURE(ScanToResults(test::FatFixture("fat16.vhdx")));
  ASSERT_NO_FATAL_FAILURE(CheckOnly({u"trash"}));
  std::set<std::string> deleted;
  std::size_t all = 0;
  for (const test::ManifestFile& file : test::ReadManifest("fat16"))
    if (file.key.rfind("trash/", 0) == 0 && ++all && file.deleted) deleted.insert(file.key);
  ASSERT_GE(deleted.size(), 5u);
  ASSERT_GT(all, deleted.size());
  test::TempDir out;
  Recover(out.Path());
  ASSERT_EQ(test::HashTree(out.Path()).size(), all) << Last().toStdString();
  const auto skipOnlyDeleted = [](RecoverySettingsDialog& dialog) {
    Choose(dialog, QStringLiteral("Skip duplicate file(s)"));
    Choose(dialog, QStringLiteral("Recover only deleted file(s)"));
  };
  EditSettings(*window_, skipOnlyDeleted, false);
  Recover(out.Path());
  const auto twice = test::HashTree(out.Path());
  EXPECT_EQ(twice.size(), 2 * all);
  EditSettings(*window_, skipOnlyDeleted, true);
  EXPECT_EQ(wizard_->session().settings.duplicates, DuplicateMode::kSkip);
  EXPECT_EQ(wizard_->session().settings.deleted, DeletedMode::kOnly);
  Recover(out.Path());
  EXPECT_EQ(test::HashTree(out.Path()), twice);
  test::TempDir fresh;
  Recover(fresh.Path());
  std::set<std::string> saved;
  for (const auto& [path, sha] : test::HashTree(fresh.Path())) saved.insert(test::CanonicalSavedPath(path));
  EXPECT_EQ(saved, deleted);
}

// --- Drive and partition panes ----------------------------------------------

// The values the Drive Information dialog shows for the scan just made.
std::map<QString, QString> DriveInformation(MainWindow& window) {
  std::map<QString, QString> values;
  QTimer::singleShot(0, &window, [&] {
    auto* dialog = window.findChild<DriveInformationDialog*>();
    if (!dialog) return;
    const auto* pane = dialog->findChild<InfoPane*>();
    for (const char* label : {"File System:", "SPC:", "First FAT:", "MFT Start:"}) values[label] = pane->Value(label);
    dialog->reject();
  });
  EXPECT_TRUE(window.Command("driveInformation")->isEnabled());
  window.Command("driveInformation")->trigger();
  return values;
}

// The disk with an extended partition (NTFS, FAT16, FAT32): the capacity
// chart has a slice per partition and one for what is free; the partition
// pane shows each partition where the table puts it; the Drive Information
// dialog the parameters its Quick Scan read.
TEST_F(DialogsTest, DrivePartitionPanesAndDriveInformationShowTheScansValues) {
  ASSERT_NO_FATAL_FAILURE(ToPartitionPage(test::PartitionFixture("extended.vhdx")));
  const std::vector<PartitionEntry>& entries = wizard_->session().partitions.Entries();
  ASSERT_GE(entries.size(), 3u);
  const std::vector<CapacitySlice>& slices = wizard_->drive->chart->Slices();
  ASSERT_EQ(slices.size(), entries.size() + 1);
  std::uint32_t used = 0;
  for (const CapacitySlice& slice : slices) used += slice.percent;
  EXPECT_LE(used, 100u);
  EXPECT_GE(used, 98u) << "rounded down per slice";
  EXPECT_FALSE(wizard_->drive->info->Value("Capacity:").isEmpty());

  std::set<QString> seen;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    QTreeWidgetItem* item = PartitionItem(static_cast<int>(i));
    ASSERT_NE(item, nullptr);
    wizard_->partition->partitions->setCurrentItem(item);
    const InfoPane& pane = *wizard_->partition->info;
    const QString type = pane.Value("Partition type:");
    EXPECT_EQ(QString::fromStdString(slices[i].label), type);
    EXPECT_EQ(pane.Value("Partition Start:"), QString::number(entries[i].start));
    EXPECT_EQ(pane.Value("Partition End:"), QString::number(entries[i].start + entries[i].sectors - 1));
    ASSERT_NO_FATAL_FAILURE(Forward(wizard_->partition->buttons.forward, Wizard::kResults));
    const std::map<QString, QString> shown = DriveInformation(*window_);
    ASSERT_FALSE(shown.empty()) << "no Drive Information dialog";
    const FsParams& params = wizard_->session().params;
    EXPECT_EQ(shown.at("File System:"), type);
    EXPECT_EQ(shown.at("SPC:"), QString::number(params.sectorsPerCluster));
    if (type == QLatin1String("NTFS"))
      EXPECT_EQ(shown.at("MFT Start:"), QString::number(params.mftStart));
    else
      EXPECT_EQ(shown.at("First FAT:"), QString::number(params.firstFatLba));
    seen.insert(type);
    QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
  }
  EXPECT_EQ(seen, (std::set<QString>{"NTFS", "FAT16", "FAT32"}));
}

// The Partition Type question on a disk whose table lost its FAT32 entry,
// answered in the dialog itself: Escape stays on the drive page, Return takes
// the table as it is (two partitions), and "Search the disk for partitions"
// finds the third as well, where the intact disk's table has it.
TEST_F(DialogsTest, PartitionTypeUsesTheTableOrSearchesTheDisk) {
  test::DiskCopy copy("classic");
  copy.Patch(test::RecordEntryOffset(2), std::vector<std::uint8_t>(16, 0));
  const auto starts = [&] {
    std::vector<QString> rows;
    for (int i = 0; i < wizard_->partition->partitions->topLevelItem(0)->childCount(); ++i) {
      wizard_->partition->partitions->setCurrentItem(PartitionItem(i));
      rows.push_back(wizard_->partition->info->Value("Partition type:") + " @ " +
                     wizard_->partition->info->Value("Partition Start:"));
    }
    return rows;
  };
  ASSERT_NO_FATAL_FAILURE(ToPartitionPage(test::PartitionFixture("classic.vhdx")));
  const std::vector<QString> intact = starts();
  ASSERT_EQ(intact.size(), 3u);
  QTest::mouseClick(wizard_->partition->buttons.home, Qt::LeftButton);

  std::function<void(PartitionTypeDialog&)> act;  // on the dialog as the program shows it
  int asked = 0;
  wizard_->askPartitionChoice = [&](std::size_t listed) {
    ++asked;
    QTimer::singleShot(0, wizard_, [&] {
      auto* dialog = wizard_->findChild<PartitionTypeDialog*>();
      ASSERT_TRUE(dialog && dialog->isVisible());
      act(*dialog);
    });
    return AskPartitionType(listed, wizard_);
  };
  Open(copy.Wrapped("vhdx"));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  act = [](PartitionTypeDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); };
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  EXPECT_FALSE(wizard_->Busy());
  EXPECT_TRUE(wizard_->drive->buttons.forward->isEnabled());

  act = [](PartitionTypeDialog& dialog) {
    EXPECT_TRUE(dialog.useTable->isChecked());
    QTest::keyClick(&dialog, Qt::Key_Return);
  };
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->drive->buttons.forward, Wizard::kPartition));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(starts(), std::vector<QString>(intact.begin(), intact.begin() + 2));

  QTest::mouseClick(wizard_->partition->buttons.back, Qt::LeftButton);
  act = [](PartitionTypeDialog& dialog) {
    QTest::mouseClick(dialog.search, Qt::LeftButton);
    QTest::keyClick(&dialog, Qt::Key_Return);
  };
  ASSERT_NO_FATAL_FAILURE(Forward(wizard_->drive->buttons.forward, Wizard::kPartition));
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(starts(), intact);
}

}  // namespace
}  // namespace dravik::app
