// Dialogs, questions and the repairs page through the real engine on the fixture images. A save is
// acted on at a fixed point: the dialog's hook, called on the save's thread at each progress report,
// makes a blocking call into the dialog's thread, so the save waits there until the click is handled.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <random>
#include <set>

#include "PartitionFixtures.h"
#include "WindowTest.h"
#include "app/DriveInformationDialog.h"
#include "app/RecoverySettingsDialog.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/SaveReportDialog.h"
#include "app/wizard/CapacityChart.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/PartitionTypeDialog.h"
#include "app/wizard/RepairsPage.h"
#include "disk/DriveInfo.h"
#include "vdisk/VirtualDisk.h"

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
  fs::path Copy(const std::string& fixture, const std::string& name) {
    fs::copy_file(test::FatFixture(fixture), dir_ / name);
    return dir_ / name;
  }
  QString Cell(int row, int column) const { return wizard_->repairs->list->item(row, column)->text(); }
  QString DriveValue(const char* label) const { return wizard_->drive->info->Value(QString::fromLatin1(label)); }
  test::TempDir dir_;
};

// sizes/ and trash/ of FAT32 with 4 KiB clusters: big.bin (3 MiB) is copied in several blocks, trash/
// (deleted files too) after it. One row per way of acting while big.bin's first block is read; what the
// engine then writes is its own tests' (SaveControlTest), here that the act reached it and what is said.
TEST_F(DialogsTest, SaveDialogSkipsStopsOrGoesOnAsAskedAndReportsWhatIsWhole) {
  ASSERT_NO_FATAL_FAILURE(ScanToResults(test::FatFixture("fat32-4k.vhd")));
  ASSERT_NO_FATAL_FAILURE(CheckOnly({u"sizes", u"trash"}));
  std::uint64_t bigSize = 0;
  for (const test::ManifestFile& file : test::ReadManifest("fat32-4k"))
    if (file.key == "sizes/big.bin") bigSize = file.size;
  ASSERT_GT(bigSize, 2u * 1024 * 1024);
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
    EXPECT_EQ(dialog.Stopped(), row.ends == Ends::kStoppedAtBig);
    EXPECT_EQ(dialog.Summary()->interrupted, row.ends == Ends::kWhole ? 0u : 1u);
    const std::size_t after = test::Sha256Tree(out.Path()).size() - test::Sha256Tree(out.Path() / "sizes").size();
    EXPECT_EQ(after > 0, row.ends != Ends::kStoppedAtBig) << "the files after big.bin";
    if (row.ends == Ends::kWhole) {
      EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
      continue;
    }
    // big.bin named in the report with the bytes it lacks; the message counts the files saved whole.
    const auto cut = fs::file_size(out.Path() / "sizes" / "big.bin.partial");
    ASSERT_EQ(reportLines_.size(), 1);
    EXPECT_TRUE(reportLines_[0].contains(QString::number(bigSize - cut))) << reportLines_[0].toStdString();
    EXPECT_NE(Last(), QString(AppTexts::kSavedSuccessfully));
    EXPECT_TRUE(Last().contains(QString::number(dialog.Summary()->saved))) << Last().toStdString();
  }
  EXPECT_GE(std::count_if(messages_.begin(), messages_.end(),
                          [](const auto& m) { return m.first == QString(AppTexts::kStopSavingFirst); }), 2);
}

// The report's list saved as text, or why not; the folder opened through the hook, offered only when there.
TEST(SaveReportDialogTest, SaveListAndOpenDestinationFolder) {
  const QStringList lines = {QStringLiteral("interrupted\t/out/big.bin.partial: cut short (5 bytes missing)"),
                             QStringLiteral("failed\t/out/gone.txt: No space left on device (7 bytes missing)")};
  test::TempDir dir;
  const QString folder = QString::fromStdString(dir.Path().string());
  SaveReportDialog dialog(QStringLiteral("Not every file could be saved."), MessageKind::kError, lines, folder);
  EXPECT_EQ(dialog.list->toPlainText(), lines.join(u'\n'));
  ASSERT_TRUE(dialog.SaveList(QString::fromStdString((dir / "list.txt").string())));
  const auto bytes = test::ReadFileBytes(dir / "list.txt");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "Not every file could be saved.\n\n" + lines.join(u'\n').toStdString() + "\n");
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

// Opens Tools → Settings, lets edit change the dialog and closes it with OK or Cancel.
void EditSettings(MainWindow& window, const std::function<void(RecoverySettingsDialog&)>& edit, bool ok) {
  WithModal<RecoverySettingsDialog>(window, "settings", [&](RecoverySettingsDialog& dialog) {
    edit(dialog);
    auto* box = dialog.findChild<QDialogButtonBox*>();
    QTest::mouseClick(box->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel), Qt::LeftButton);
  });
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

// OK without a change keeps the engine's defaults; a count of sectors is kept and shown again. Skip
// duplicates and only deleted files: Cancel keeps the old settings, OK takes them, and the next save of
// trash/ writes only its deleted files.
TEST_F(DialogsTest, RecoverySettingsReachTheNextSaveAndCancelKeepsTheOld) {
  QString sectors;
  EditSettings(*window_, [&](RecoverySettingsDialog& dialog) { sectors = dialog.SectorsPerRead()->currentText(); }, true);
  const RecoverySettings defaults;
  const RecoverySettings& kept = wizard_->session().settings;
  EXPECT_EQ(sectors, QString::number(defaults.sectorsPerRead));
  EXPECT_TRUE(kept.duplicates == defaults.duplicates && kept.deleted == defaults.deleted && kept.retries == defaults.retries &&
              kept.sectorsPerRead == defaults.sectorsPerRead && kept.trimCarved == defaults.trimCarved);
  EditSettings(*window_, [](RecoverySettingsDialog& dialog) { dialog.SectorsPerRead()->setCurrentText(QStringLiteral("7")); }, true);
  EXPECT_EQ(kept.sectorsPerRead, 7u);
  EditSettings(*window_, [&](RecoverySettingsDialog& dialog) { sectors = dialog.SectorsPerRead()->currentText(); }, false);
  EXPECT_EQ(sectors, QStringLiteral("7"));
  const auto skipOnlyDeleted = [](RecoverySettingsDialog& dialog) {
    Choose(dialog, QStringLiteral("Skip duplicate file(s)"));
    Choose(dialog, QStringLiteral("Recover only deleted file(s)"));
  };
  EditSettings(*window_, skipOnlyDeleted, false);
  EXPECT_TRUE(kept.duplicates == defaults.duplicates && kept.deleted == defaults.deleted);
  EditSettings(*window_, skipOnlyDeleted, true);
  EXPECT_EQ(kept.duplicates, DuplicateMode::kSkip);
  EXPECT_EQ(kept.deleted, DeletedMode::kOnly);
  ASSERT_NO_FATAL_FAILURE(ScanToResults(test::FatFixture("fat16.vhdx")));
  ASSERT_NO_FATAL_FAILURE(CheckOnly({u"trash"}));
  std::set<std::string> deleted;
  for (const test::ManifestFile& file : test::ReadManifest("fat16"))
    if (file.key.rfind("trash/", 0) == 0 && file.deleted) deleted.insert(file.key);
  ASSERT_GE(deleted.size(), 5u);
  std::set<std::string> saved;
  for (const auto& [path, sha] : SaveChecked()) saved.insert(test::CanonicalSavedPath(path));
  EXPECT_EQ(saved, deleted);
}

// The values the Drive Information dialog shows for the scan just made.
std::map<QString, QString> DriveInformation(MainWindow& window) {
  std::map<QString, QString> values;
  WithModal<DriveInformationDialog>(window, "driveInformation", [&](DriveInformationDialog& dialog) {
    const auto* pane = dialog.findChild<InfoPane*>();
    for (const char* label : {"File System:", "SPC:", "First FAT:", "MFT Start:"}) values[label] = pane->Value(label);
  });
  return values;
}

// A disk with an extended partition (NTFS, FAT16, FAT32): a chart slice per partition and one free; the
// pane shows each where the table puts it; Drive Information the parameters its Quick Scan read.
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
    ASSERT_FALSE(shown.empty());
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

// A table that lost its FAT32 entry, answered in the dialog: Escape stays on the drive page, Return takes
// the table (two partitions), "Search the disk" finds the third where the intact table has it.
TEST_F(DialogsTest, PartitionTypeUsesTheTableOrSearchesTheDisk) {
  test::DiskCopy copy("classic");
  copy.Patch(test::RecordEntryOffset(2), std::vector<std::uint8_t>(16, 0));
  const auto starts = [&] {
    std::vector<QString> rows;
    for (int i = 0; i < wizard_->partition->partitions->topLevelItem(0)->childCount(); ++i) {
      wizard_->partition->partitions->setCurrentItem(PartitionItem(i));
      rows.push_back(wizard_->partition->info->Value("Partition type:") + " @ " + wizard_->partition->info->Value("Partition Start:"));
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

using DamagedImageTest = DialogsTest;

// One structure broken per case: the repairs page lists what the reader did, in rows tall enough for
// their wrapped texts; Next to the drive page, Back to repairs and start; the image is never written.
TEST_F(DamagedImageTest, RepairsAreListedOnTheirOwnPageBeforeTheDrivePage) {
  struct Case {
    const char* fixture;
    std::uint64_t at;  // the bytes zeroed
    std::size_t length;
    const char* structure;  // of the first repair
    const char* problem;    // its beginning
  } cases[] = {
      {"fat32.vhdx", 64 * 1024, 4096, "header 1", "zeroed"},
      {"fat16.vhdx", 192 * 1024, 128 * 1024, "region tables", "neither is valid"},
      {"fat16.vhd", 512, 1024, "dynamic header", "missing"},
  };
  // The smallest window with a large font, so that the long texts must wrap.
  window_->resize(window_->minimumSize());
  QFont large = window_->font();
  large.setPointSizeF(large.pointSizeF() * 1.8);
  window_->setFont(large);
  int wrapped = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.structure);
    const fs::path image = Copy(c.fixture, std::string(c.structure) + fs::path(c.fixture).extension().string());
    test::PatchFile(image, c.at, std::vector<std::uint8_t>(c.length, 0));
    const std::string sum = test::Sha256File(image);
    Open(image);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kRepairs) << Last().toStdString();
    EXPECT_TRUE(messages_.empty());
    // Every repair the engine made, one row each, in its order.
    const std::vector<Repair>& repairs = wizard_->session().disk.Repairs();
    QTableWidget* list = wizard_->repairs->list;
    ASSERT_EQ(list->rowCount(), static_cast<int>(repairs.size()));
    EXPECT_EQ(Cell(0, RepairsPage::kStructure), QString::fromLatin1(c.structure));
    EXPECT_TRUE(Cell(0, RepairsPage::kProblem).startsWith(QString::fromLatin1(c.problem)));
    const QFontMetrics metrics(list->font());
    for (int row = 0; row < list->rowCount(); ++row) {
      const Repair& repair = repairs[static_cast<std::size_t>(row)];
      EXPECT_EQ(Cell(row, RepairsPage::kAction), QString::fromStdString(repair.action));
      EXPECT_EQ(list->item(row, RepairsPage::kProblem)->toolTip(), QString::fromStdString(repair.Text()));
      // A text wider than its column wraps, and its row grows to show it.
      for (int column = 0; column < list->columnCount(); ++column) {
        if (metrics.horizontalAdvance(Cell(row, column)) <= list->columnWidth(column)) continue;
        ++wrapped;
        EXPECT_GE(list->rowHeight(row), 2 * metrics.lineSpacing()) << Cell(row, column).toStdString();
      }
    }
    Forward(wizard_->repairs->buttons.forward, Wizard::kDrive);
    EXPECT_FALSE(DriveValue("Capacity:").isEmpty());
    QTest::mouseClick(wizard_->drive->buttons.back, Qt::LeftButton);
    EXPECT_EQ(wizard_->CurrentPage(), Wizard::kRepairs);
    QTest::mouseClick(wizard_->repairs->buttons.back, Qt::LeftButton);
    EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
    EXPECT_EQ(test::Sha256File(image), sum) << "the image was written";
  }
  EXPECT_GT(wrapped, 0) << "no text was long enough to wrap";
}

// Random bytes named .vhdx: after the failure, the question to read it as a raw disk. No (and Escape in the
// real box) stays; Yes opens it raw and ticks the box, which another path unticks. A raw disk named .vhdx
// gets to its partition that way; the box reads any file so.
TEST_F(DamagedImageTest, AFileThatIsNoImageIsOfferedTheRawRoad) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> bytes(3 * 1024 * 1024);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  const fs::path file = dir_ / "random.vhdx";
  test::WriteFileBytes(file, bytes);
  Open(file);
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_EQ(messages_[0].first, QString(OpenFailureMessage(ImageKind::kVhdx, true)));
  EXPECT_EQ(messages_[0].second, MessageKind::kError);
  EXPECT_EQ(Last(), QString(AppTexts::kReadAsRawQuestion));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_TRUE(wizard_->start->path->text().isEmpty());
  EXPECT_FALSE(wizard_->start->asRaw->isChecked());
  onQuestion_ = [this](const QString& text) {
    QTimer::singleShot(0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
    return ShowMessageBox(window_.get(), text, MessageKind::kQuestion, true);
  };
  Open(file, ScanMode::kExtensive);
  EXPECT_EQ(Last(), QString(AppTexts::kReadAsRawQuestion));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  onQuestion_ = [](const QString&) { return kYes; };
  Open(file, ScanMode::kExtensive);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  EXPECT_EQ(wizard_->session().imageKind, ImageKind::kRaw);
  EXPECT_EQ(DriveValue("Disk Type:"), QStringLiteral("Raw disk"));
  EXPECT_EQ(DriveValue("Capacity:"), QString::fromStdString(Megabytes(bytes.size())).trimmed());
  EXPECT_TRUE(wizard_->start->asRaw->isChecked());
  wizard_->Home();
  const fs::path copied = dir_ / "copied.vhdx";
  fs::copy_file(test::FatFixture("fat16.raw"), copied);
  wizard_->start->path->setText(QString::fromStdString(copied.string()));
  EXPECT_FALSE(wizard_->start->asRaw->isChecked()) << "another path is read as its name says";
  Open(copied);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  EXPECT_EQ(wizard_->session().imageKind, ImageKind::kRaw);
  Forward(wizard_->drive->buttons.forward, Wizard::kPartition);
  EXPECT_EQ(wizard_->partition->Selected(), 0);
  EXPECT_EQ(wizard_->session().partitions.Entries().at(0).start, test::FatStart("fat16"));
  // The box reads an image as its file's bytes, without asking; without it the path opens as named again.
  wizard_->Home();
  const fs::path vhd = test::FatFixture("fat16.vhd");
  wizard_->start->path->setText(QString::fromStdString(vhd.string()));
  wizard_->start->asRaw->setChecked(true);
  messages_.clear();
  QTest::mouseClick(wizard_->start->quick, Qt::LeftButton);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(DriveValue("Capacity:"), QString::fromStdString(Megabytes(fs::file_size(vhd))).trimmed());
  wizard_->Home();
  EXPECT_TRUE(wizard_->start->asRaw->isChecked()) << "the user's choice stays";
  wizard_->start->asRaw->setChecked(false);
  QTest::mouseClick(wizard_->start->quick, Qt::LeftButton);
  EXPECT_EQ(wizard_->session().imageKind, ImageKind::kVhd);
}

// A VHDX cut to 60 %: the repairs page names the block table, the scan the folders it could not read whole,
// the save report the files saved incomplete (which ones: SalvageCliCutTest).
TEST_F(DamagedImageTest, ACutImageNamesItsIncompleteFilesInTheSaveReport) {
  const fs::path image = Copy("fat16-32k.vhdx", "cut.vhdx");
  fs::resize_file(image, fs::file_size(image) * 6 / 10);
  Open(image);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kRepairs) << Last().toStdString();
  EXPECT_EQ(Cell(0, RepairsPage::kStructure), QStringLiteral("BAT"));
  Forward(wizard_->repairs->buttons.forward, Wizard::kDrive);
  Forward(wizard_->drive->buttons.forward, Wizard::kPartition);
  Forward(wizard_->partition->buttons.forward, Wizard::kResults);
  EXPECT_TRUE(std::any_of(messages_.begin(), messages_.end(), [](const auto& m) {
    return m.first.contains(QStringLiteral("could not be read whole"));
  }));
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  EXPECT_EQ(messages_.back().second, MessageKind::kError);
  const QString prefix = QStringLiteral("incomplete\t") + QString::fromStdString(out.Path().string()) + QLatin1Char('/');
  EXPECT_TRUE(std::any_of(reportLines_.begin(), reportLines_.end(), [&](const QString& line) { return line.startsWith(prefix); }))
      << reportLines_.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
}  // namespace dravik::app
