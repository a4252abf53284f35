// The desktop program's dialogs and panes driven on the offscreen platform
// through the real engine on the fixture images: the save dialog's Skip
// File, Stop Saving (answered No and Yes) and its refusal to close while it
// saves; the Recovery Settings dialog's choices reaching the next save; the
// drive and partition panes and the Drive Information dialog against what
// qemu-img, sfdisk, fsstat and fls report about the same image; the Partition
// Type question's three answers on a disk whose table misses a partition.
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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <set>

#include "FatFixtures.h"
#include "PartitionFixtures.h"
#include "QtPrinters.h"
#include "TestFiles.h"
#include "app/AppTexts.h"
#include "app/DriveInformationDialog.h"
#include "WindowTest.h"
#include "app/MainWindow.h"
#include "app/RecoverySettingsDialog.h"
#include "app/results/FolderTreeModel.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/SaveReportDialog.h"
#include "app/wizard/CapacityChart.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/PartitionTypeDialog.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {
namespace {

namespace fs = std::filesystem;

constexpr int kScanTimeoutMs = 60000;

// A fresh main window whose messages are kept and whose questions are
// answered by onQuestion_ (No when it is not set).
class DialogsTest : public WindowTest {
 protected:

  // The start page's Quick Scan with the image, to the drive page.
  void Open(const fs::path& image) {
    wizard_->start->path->setText(QString::fromStdString(image.string()));
    QTest::mouseClick(wizard_->start->quick, Qt::LeftButton);
  }

  // From the drive page to the partition page, after the partition search.
  void DriveNext() {
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  }

  // The partition page's item of partition index (its number in the list).
  QTreeWidgetItem* PartitionItem(int index) const {
    QTreeWidgetItem* disk = wizard_->partition->partitions->topLevelItem(0);
    for (int i = 0; disk && i < disk->childCount(); ++i)
      if (disk->child(i)->data(0, Qt::UserRole).toInt() == index) return disk->child(i);
    return nullptr;
  }

  // From the partition page to the results of a Quick Scan of partition index.
  void ScanPartition(int index) {
    QTreeWidgetItem* item = PartitionItem(index);
    ASSERT_NE(item, nullptr) << "no partition " << index;
    wizard_->partition->partitions->setCurrentItem(item);
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs))
        << Last().toStdString();
  }

  void ScanToResults(const fs::path& image) {
    Open(image);
    ASSERT_NO_FATAL_FAILURE(DriveNext());
    ASSERT_NO_FATAL_FAILURE(ScanPartition(0));
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

  // The Recover button's save into dest.
  void Recover(const fs::path& dest) {
    wizard_->chooseDestination = [dest] { return QString::fromStdString(dest.string()); };
    QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  }

  int Count(const QString& text) const {
    return static_cast<int>(std::count_if(messages_.begin(), messages_.end(), [&](const auto& m) { return m.first == text; }));
  }

};

// "1 file saved whole", "3 files saved whole", as the save dialog counts.
QString SavedWhole(std::size_t files) {
  return files == 1 ? QStringLiteral("1 file saved whole") : QStringLiteral("%1 files saved whole").arg(files);
}

// --- The save dialog --------------------------------------------------------

// The save dialog over sizes/ and trash/ of the FAT32 disk with 4 KiB
// clusters: sizes/big.bin (3 MiB) is copied in several blocks; trash/ is
// saved after it and holds deleted files too.
class SaveDialogTest : public DialogsTest {
 protected:
  void SetUp() override {
    DialogsTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(ScanToResults(test::FatFixture("fat32-4k.vhd")));
    ASSERT_NO_FATAL_FAILURE(CheckOnly({u"sizes", u"trash"}));
    for (const test::ManifestFile& file : test::ReadManifest("fat32-4k")) {
      if (file.key.rfind("sizes/", 0) == 0 || file.key.rfind("trash/", 0) == 0) expected_[file.key] = file.sha256;
      if (file.key == kBig) bigSize_ = file.size;
    }
    ASSERT_GT(bigSize_, 2u * 1024 * 1024);
    ASSERT_GE(expected_.size(), 8u);
  }

  struct Outcome {
    std::optional<SaveSummary> summary;
    bool stopped = false;
    bool acted = false;
  };

  // Runs the save dialog into out_; act runs on the dialog's thread while
  // the save waits at its second report for big.bin: the file is begun and
  // its first block is about to be read.
  Outcome Save(const std::function<void(SaveProgressDialog&)>& act) {
    wizard_->session().destination = out_.Path();
    SaveProgressDialog dialog(wizard_->session(), wizard_->messenger(), window_.get());
    bool acted = false;
    int reports = 0;
    dialog.onProgress = [&](const SaveProgress& progress) {
      if (acted || progress.fileName != u"big.bin" || ++reports != 2) return;
      acted = true;
      QMetaObject::invokeMethod(&dialog, [&] { act(dialog); }, Qt::BlockingQueuedConnection);
    };
    dialog.exec();
    return {dialog.Summary(), dialog.Stopped(), acted};
  }

  // What the destination holds, by the key the manifest gives each file.
  std::map<std::string, std::string> Saved() const {
    std::map<std::string, std::string> saved;
    for (const auto& [path, sha] : test::HashTree(out_.Path())) saved[test::CanonicalSavedPath(path)] = sha;
    return saved;
  }

  // The keys of the files that are there whole.
  std::set<std::string> Whole() const {
    std::set<std::string> whole;
    for (const auto& [key, sha] : Saved())
      if (expected_.count(key) && expected_.at(key) == sha) whole.insert(key);
    return whole;
  }

  // big.bin, cut short, is kept under a name that says so.
  fs::path BigPart() const { return out_ / "sizes" / "big.bin.partial"; }
  std::uintmax_t BigSize() const { return fs::file_size(BigPart()); }

  // The one line of the report: big.bin cut, and how much of it is missing.
  void ExpectBigNamedAsCut() const {
    ASSERT_EQ(reportLines_.size(), 1) << reportLines_.join(u'\n').toStdString();
    EXPECT_EQ(reportLines_[0], QStringLiteral("interrupted\t%1: cut short on request (%2 bytes missing)")
                                   .arg(QString::fromStdString(BigPart().string()))
                                   .arg(bigSize_ - BigSize()));
  }

  static constexpr const char* kBig = "sizes/big.bin";
  test::TempDir out_;
  std::map<std::string, std::string> expected_;
  std::uint64_t bigSize_ = 0;
};

TEST_F(SaveDialogTest, SkipFileSkipsTheFileBeingWrittenOnlyAndTheReportSaysSo) {
  const Outcome outcome = Save([](SaveProgressDialog& dialog) { QTest::mouseClick(dialog.SkipButton(), Qt::LeftButton); });
  ASSERT_TRUE(outcome.acted);
  ASSERT_TRUE(outcome.summary);
  EXPECT_FALSE(outcome.stopped);

  // Every other file whole, the ones saved after it too; big.bin kept as far
  // as it was written, as big.bin.partial: begun, not whole.
  std::map<std::string, std::string> others = expected_;
  others.erase(kBig);
  std::map<std::string, std::string> saved = Saved();
  EXPECT_EQ(saved.count(kBig), 0u);
  ASSERT_TRUE(fs::is_regular_file(BigPart()));
  EXPECT_GT(BigSize(), 0u);
  EXPECT_LT(BigSize(), bigSize_);
  saved.erase(test::CanonicalSavedPath("sizes/big.bin.partial"));
  EXPECT_EQ(saved, others);
  ExpectBigNamedAsCut();

  EXPECT_EQ(outcome.summary->saved, others.size());
  EXPECT_EQ(outcome.summary->interrupted, 1u);
  EXPECT_EQ(outcome.summary->failed, 0u);
  EXPECT_NE(Last(), QString(AppTexts::kSavedSuccessfully));
  EXPECT_TRUE(Last().contains(SavedWhole(others.size()))) << Last().toStdString();
  EXPECT_TRUE(Last().contains(QStringLiteral("1 file skipped"))) << Last().toStdString();
  EXPECT_EQ(messages_.back().second, MessageKind::kInformation);
}

TEST_F(SaveDialogTest, StopAnsweredNoGoesOnAndTheSaveEndsWhole) {
  QString asked;
  onQuestion_ = [&](const QString& text) {
    asked = text;
    return kNo;
  };
  const Outcome outcome = Save([](SaveProgressDialog& dialog) {
    QTest::mouseClick(dialog.StopButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog.StopButton()->isEnabled());
  });
  ASSERT_TRUE(outcome.acted);
  EXPECT_EQ(asked, QString(AppTexts::kStopSavingQuestion));
  EXPECT_FALSE(outcome.stopped);
  EXPECT_EQ(Saved(), expected_);
  ASSERT_TRUE(outcome.summary);
  EXPECT_EQ(outcome.summary->saved, expected_.size());
  EXPECT_EQ(outcome.summary->interrupted, 0u);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
}

TEST_F(SaveDialogTest, StopAnsweredYesEndsTheSaveAndReportsWhatWasSaved) {
  onQuestion_ = [](const QString&) { return kYes; };
  const Outcome outcome = Save([](SaveProgressDialog& dialog) {
    QTest::mouseClick(dialog.StopButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.StopButton()->isEnabled());
  });
  ASSERT_TRUE(outcome.acted);
  ASSERT_TRUE(outcome.summary);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(Count(AppTexts::kStopSavingQuestion), 1);

  // The save ended at big.bin: what came before is whole, big.bin is cut
  // short, trash/ (saved after sizes/) was never begun.
  const std::set<std::string> whole = Whole();
  EXPECT_EQ(whole.count(kBig), 0u);
  EXPECT_GT(BigSize(), 0u);
  EXPECT_LT(BigSize(), bigSize_);
  ExpectBigNamedAsCut();
  for (const auto& [key, sha] : Saved())
    EXPECT_TRUE(whole.count(key) || key == test::CanonicalSavedPath("sizes/big.bin.partial")) << key;
  for (const auto& key : whole) EXPECT_EQ(key.rfind("sizes/", 0), 0u) << key;
  EXPECT_LT(whole.size(), expected_.size() - 1);
  EXPECT_EQ(outcome.summary->saved, whole.size());

  // The report: stopped, and how many files are whole; never success.
  EXPECT_NE(Last(), QString(AppTexts::kSavedSuccessfully));
  EXPECT_TRUE(Last().startsWith(QStringLiteral("Saving was stopped."))) << Last().toStdString();
  EXPECT_TRUE(Last().contains(SavedWhole(whole.size()))) << Last().toStdString();
}

TEST(SaveReportDialogTest, SaveListWritesTheTextAndEveryLineOrSaysItCouldNot) {
  const QStringList lines = {QStringLiteral("interrupted\t/out/big.bin.partial: cut short on request (5 bytes missing)"),
                             QStringLiteral("failed\t/out/gone.txt: No space left on device (7 bytes missing)")};
  SaveReportDialog dialog(QStringLiteral("Not every file could be saved."), MessageKind::kError, lines);
  EXPECT_EQ(dialog.list->toPlainText(), lines.join(u'\n'));
  test::TempDir dir;
  const fs::path file = dir / "list.txt";
  ASSERT_TRUE(dialog.SaveList(QString::fromStdString(file.string())));
  const auto bytes = test::ReadFileBytes(file);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "Not every file could be saved.\n\n" + lines.join(u'\n').toStdString() + "\n");
  EXPECT_TRUE(dialog.saved->text().contains(QStringLiteral("is saved"))) << dialog.saved->text().toStdString();
  EXPECT_FALSE(dialog.SaveList(QString::fromStdString((dir / "no-such-folder" / "list.txt").string())));
  EXPECT_TRUE(dialog.saved->text().contains(QStringLiteral("could not be written")));
}

// The report at the end of every save offers the folder saved into; the
// file manager is reached through the dialog's hook, so nothing is launched.
TEST(SaveReportDialogTest, OpenDestinationFolderOpensTheFolderSavedInto) {
  test::TempDir dir;
  const QString folder = QString::fromStdString(dir.Path().string());
  SaveReportDialog whole(QString::fromLatin1(AppTexts::kSavedSuccessfully), MessageKind::kInformation, {}, folder);
  EXPECT_TRUE(whole.list->isHidden());
  EXPECT_TRUE(whole.saveList->isHidden());
  EXPECT_FALSE(whole.openDestination->isHidden());
  ASSERT_TRUE(whole.openDestination->isEnabled());
  std::vector<QUrl> opened;
  bool opens = true;
  whole.openUrl = [&](const QUrl& url) {
    opened.push_back(url);
    return opens;
  };
  QTest::mouseClick(whole.openDestination, Qt::LeftButton);
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl::fromLocalFile(folder)});
  EXPECT_TRUE(whole.saved->isHidden());
  opens = false;
  QTest::mouseClick(whole.openDestination, Qt::LeftButton);
  EXPECT_FALSE(whole.saved->isHidden());
  EXPECT_TRUE(whole.saved->text().contains(QStringLiteral("could not be opened"))) << whole.saved->text().toStdString();

  SaveReportDialog gone(QStringLiteral("Saving was stopped."), MessageKind::kInformation, {QStringLiteral("x")},
                        folder + QStringLiteral("/no-such-folder"));
  EXPECT_FALSE(gone.list->isHidden());
  EXPECT_FALSE(gone.openDestination->isEnabled()) << "a folder that is not there";
  SaveReportDialog none(QStringLiteral("Not every file could be saved."), MessageKind::kError, {QStringLiteral("x")});
  EXPECT_TRUE(none.openDestination->isHidden());

  // The program's own messenger shows this window for a save without a
  // list too, where a plain message box would have no such button.
  QWidget parent;
  Messenger messenger(&parent);
  bool shown = false;
  QTimer::singleShot(0, &parent, [&] {
    auto* dialog = parent.findChild<SaveReportDialog*>();
    ASSERT_NE(dialog, nullptr);
    shown = dialog->isVisible() && !dialog->openDestination->isHidden() && dialog->openDestination->isEnabled();
    dialog->accept();
  });
  messenger.Report(QString::fromLatin1(AppTexts::kSavedSuccessfully), MessageKind::kInformation, {}, folder);
  EXPECT_TRUE(shown);
}

TEST_F(SaveDialogTest, RefusesToCloseWhileSavingAndTheSaveGoesOn) {
  bool visible = false;
  const Outcome outcome = Save([&](SaveProgressDialog& dialog) {
    EXPECT_FALSE(dialog.close());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    visible = dialog.isVisible();
  });
  ASSERT_TRUE(outcome.acted);
  EXPECT_TRUE(visible);
  EXPECT_EQ(Count(AppTexts::kStopSavingFirst), 2);
  EXPECT_FALSE(outcome.stopped);
  EXPECT_EQ(Saved(), expected_);
  EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
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

TEST_F(DialogsTest, RecoverySettingsShowAndKeepTheEngineDefaults) {
  QString duplicates, deleted, sectors;
  EditSettings(*window_, [&](RecoverySettingsDialog& dialog) {
    duplicates = dialog.Duplicates()->checkedButton() ? dialog.Duplicates()->checkedButton()->text() : QString();
    deleted = dialog.Deleted()->checkedButton() ? dialog.Deleted()->checkedButton()->text() : QString();
    sectors = dialog.SectorsPerRead()->currentText();
  }, true);
  // The choice shown is the one the engine starts with.
  const RecoverySettings defaults;
  const std::map<DuplicateMode, QString> duplicateTexts = {{DuplicateMode::kRename, "Rename duplicate file(s)"},
                                                           {DuplicateMode::kOverwrite, "Overwrite duplicate file(s)"},
                                                           {DuplicateMode::kSkip, "Skip duplicate file(s)"}};
  const std::map<DeletedMode, QString> deletedTexts = {{DeletedMode::kInclude, "Include deleted file(s)"},
                                                       {DeletedMode::kOnly, "Recover only deleted file(s)"},
                                                       {DeletedMode::kExclude, "Exclude deleted file(s)"}};
  EXPECT_EQ(duplicates, duplicateTexts.at(defaults.duplicates));
  EXPECT_EQ(deleted, deletedTexts.at(defaults.deleted));
  EXPECT_EQ(sectors, QString::number(defaults.sectorsPerRead));
  // OK without a change stores what was shown: the defaults, every field.
  const RecoverySettings& kept = wizard_->session().settings;
  EXPECT_EQ(kept.duplicates, defaults.duplicates);
  EXPECT_EQ(kept.deleted, defaults.deleted);
  EXPECT_EQ(kept.sectorsPerRead, defaults.sectorsPerRead);
  EXPECT_EQ(kept.retries, defaults.retries);
  EXPECT_EQ(kept.trimCarved, defaults.trimCarved);

  // A count of sectors chosen is stored as shown, and shown again next time.
  EditSettings(*window_, [](RecoverySettingsDialog& dialog) { dialog.SectorsPerRead()->setCurrentText(QStringLiteral("7")); }, true);
  EXPECT_EQ(wizard_->session().settings.sectorsPerRead, 7u);
  EditSettings(*window_, [&](RecoverySettingsDialog& dialog) { sectors = dialog.SectorsPerRead()->currentText(); }, false);
  EXPECT_EQ(sectors, QStringLiteral("7"));
}

TEST_F(DialogsTest, RecoverySettingsReachTheNextSaveAndCancelKeepsTheOld) {
  ASSERT_NO_FATAL_FAILURE(ScanToResults(test::FatFixture("fat16.vhdx")));
  ASSERT_NO_FATAL_FAILURE(CheckOnly({u"trash"}));
  std::map<std::string, std::string> live, deleted;
  for (const test::ManifestFile& file : test::ReadManifest("fat16"))
    if (file.key.rfind("trash/", 0) == 0) (file.deleted ? deleted : live)[file.key] = file.sha256;
  ASSERT_GE(live.size(), 1u);
  ASSERT_GE(deleted.size(), 5u);
  const auto byKey = [](const fs::path& dir) {
    std::map<std::string, std::string> saved;
    for (const auto& [path, sha] : test::HashTree(dir)) saved[test::CanonicalSavedPath(path)] = sha;
    return saved;
  };
  std::map<std::string, std::string> all = live;
  all.insert(deleted.begin(), deleted.end());

  test::TempDir out;
  Recover(out.Path());
  ASSERT_EQ(byKey(out.Path()), all) << Last().toStdString();

  // Skip and only-deleted chosen, then Cancel: the next save still renames
  // and still takes the live file.
  const auto skipOnlyDeleted = [](RecoverySettingsDialog& dialog) {
    Choose(dialog, QStringLiteral("Skip duplicate file(s)"));
    Choose(dialog, QStringLiteral("Recover only deleted file(s)"));
  };
  EditSettings(*window_, skipOnlyDeleted, false);
  EXPECT_EQ(wizard_->session().settings.duplicates, DuplicateMode::kRename);
  EXPECT_EQ(wizard_->session().settings.deleted, DeletedMode::kInclude);
  Recover(out.Path());
  const auto twice = test::HashTree(out.Path());
  EXPECT_EQ(twice.size(), 2 * all.size());
  for (const auto& [path, sha] : twice) {
    if (path.find("Copy (1 ) of ") != std::string::npos) continue;
    const fs::path file(path);
    const auto copy = (file.parent_path() / ("Copy (1 ) of " + file.filename().string())).string();
    ASSERT_EQ(twice.count(copy), 1u) << copy;
    EXPECT_EQ(twice.at(copy), sha) << copy;
  }

  // The same, then OK: the next save into the same folder writes nothing
  // new, and one into a fresh folder only the deleted files.
  EditSettings(*window_, skipOnlyDeleted, true);
  EXPECT_EQ(wizard_->session().settings.duplicates, DuplicateMode::kSkip);
  EXPECT_EQ(wizard_->session().settings.deleted, DeletedMode::kOnly);
  Recover(out.Path());
  EXPECT_EQ(test::HashTree(out.Path()), twice);
  test::TempDir fresh;
  Recover(fresh.Path());
  EXPECT_EQ(byKey(fresh.Path()), deleted);
}

// --- Drive and partition panes ----------------------------------------------

QJsonObject Json(const std::string& command) {
  const test::CommandResult result = test::RunShell(command);
  EXPECT_EQ(result.status, 0) << command;
  return QJsonDocument::fromJson(QByteArray::fromStdString(result.out)).object();
}

// The file-system name the partition pane shows for an MBR type as sfdisk
// prints it; empty for types that hold none of them.
QString FsOfType(const QString& type) {
  static const std::map<QString, QString> kNames = {{"4", "FAT16"}, {"6", "FAT16"}, {"e", "FAT16"},
                                                    {"b", "FAT32"}, {"c", "FAT32"}, {"7", "NTFS"}};
  const auto it = kNames.find(type.toLower());
  return it == kNames.end() ? QString() : it->second;
}

struct OraclePartition {
  QString fileSystem;
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
};

// The partitions with a FAT or NTFS type that sfdisk lists on the raw form
// of the image, in table order.
std::vector<OraclePartition> SfdiskPartitions(const fs::path& raw) {
  std::vector<OraclePartition> partitions;
  const QJsonArray listed = Json("sfdisk -J " + test::Quote(raw))["partitiontable"].toObject()["partitions"].toArray();
  for (const QJsonValue& value : listed) {
    const QJsonObject p = value.toObject();
    const QString name = FsOfType(p["type"].toString());
    if (name.isEmpty()) continue;
    partitions.push_back({name, static_cast<std::uint64_t>(p["start"].toInteger()),
                          static_cast<std::uint64_t>(p["size"].toInteger())});
  }
  return partitions;
}

// The values the Drive Information dialog shows for the scan just made.
std::map<QString, QString> DriveInformation(MainWindow& window) {
  std::map<QString, QString> values;
  QTimer::singleShot(0, &window, [&] {
    auto* dialog = window.findChild<DriveInformationDialog*>();
    if (!dialog) return;
    const auto* pane = dialog->findChild<InfoPane*>();
    for (const char* label : {"File System:", "Start Sector:", "Directories:", "Files:", "SPC:", "First FAT:",
                              "Second FAT:", "MFT Start:"})
      values[label] = pane->Value(label);
    dialog->reject();
  });
  EXPECT_TRUE(window.Command("driveInformation")->isEnabled());
  window.Command("driveInformation")->trigger();
  return values;
}

TEST_F(DialogsTest, DriveAndPartitionPanesShowWhatQemuImgAndSfdiskReport) {
  test::TempDir dir;
  // The fixture's dynamic VHDX (qemu-img's default block size) and a fixed
  // one of 1 MiB blocks made here from the same disk.
  const fs::path dynamic = test::PartitionFixture("extended.vhdx");
  const fs::path fixed = dir / "fixed.vhdx";
  ASSERT_EQ(test::RunShell("qemu-img convert -f raw -O vhdx -o subformat=fixed,block_size=1M " +
                           test::Quote(test::PartitionFixture("extended.raw")) + " " + test::Quote(fixed))
                .status,
            0);
  for (const auto& [image, type] : {std::pair{dynamic, "Dynamic Disk"}, std::pair{fixed, "Fixed Disk"}}) {
    SCOPED_TRACE(image.string());
    const QJsonObject info = Json("qemu-img info --output=json " + test::Quote(image));
    ASSERT_EQ(info["format"].toString(), QStringLiteral("vhdx"));
    const auto size = static_cast<std::uint64_t>(info["virtual-size"].toInteger());
    const auto block = static_cast<std::uint64_t>(info["cluster-size"].toInteger());
    ASSERT_GT(block, 0u);
    const fs::path raw = dir / "disk.raw";
    ASSERT_EQ(test::RunShell("qemu-img convert -O raw " + test::Quote(image) + " " + test::Quote(raw)).status, 0);
    const std::vector<OraclePartition> expected = SfdiskPartitions(raw);
    ASSERT_GE(expected.size(), 3u);

    Open(image);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    const InfoPane& drive = *wizard_->drive->info;
    EXPECT_EQ(drive.Value("Capacity:"), QStringLiteral("%1 MB").arg(size / 1048576));
    EXPECT_EQ(drive.Value("Disk Type:"), QString(type));
    // The block table: a payload entry per block, and a sector bitmap entry
    // after every chunk of 2^23 * 512 / block size of them.
    const std::uint64_t blocks = (size + block - 1) / block;
    const std::uint64_t chunk = (std::uint64_t{1} << 23) * 512 / block;
    EXPECT_EQ(drive.Value("Data Block Count:"), QString::number(blocks));
    EXPECT_EQ(drive.Value("Total Bat Entries:"), QString::number(blocks + (blocks - 1) / chunk));
    // The capacity chart: each partition's share of the disk, then what is free.
    const std::vector<CapacitySlice>& slices = wizard_->drive->chart->Slices();
    ASSERT_EQ(slices.size(), expected.size() + 1);
    std::uint32_t used = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(QString::fromStdString(slices[i].label), expected[i].fileSystem) << i;
      EXPECT_EQ(slices[i].percent, expected[i].sectors * 100 / (size / 512)) << i;
      used += slices[i].percent;
    }
    EXPECT_EQ(slices.back().label, "FREE");
    EXPECT_EQ(slices.back().percent, 100 - used);

    ASSERT_NO_FATAL_FAILURE(DriveNext());
    QTreeWidgetItem* disk = wizard_->partition->partitions->topLevelItem(0);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->childCount(), static_cast<int>(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE(i);
      const OraclePartition& p = expected[i];
      QTreeWidgetItem* item = PartitionItem(static_cast<int>(i));
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->text(0), QStringLiteral("Partition %1  (%2)").arg(i).arg(p.fileSystem));
      wizard_->partition->partitions->setCurrentItem(item);
      const InfoPane& pane = *wizard_->partition->info;
      EXPECT_EQ(pane.Value("Partition type:"), p.fileSystem);
      EXPECT_EQ(pane.Value("Partition Start:"), QString::number(p.start));
      EXPECT_EQ(pane.Value("Partition End:"), QString::number(p.start + p.sectors - 1));
      EXPECT_EQ(pane.Value("Partition Size:"), QStringLiteral("%1 MB (Approx)").arg(p.sectors / 2048));
    }
    QTest::mouseClick(wizard_->partition->buttons.home, Qt::LeftButton);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  }
}

TEST_F(DialogsTest, DriveInformationShowsWhatFsstatAndFlsReport) {
  test::TempDir dir;
  const fs::path image = test::PartitionFixture("extended.vhdx");
  const fs::path raw = dir / "disk.raw";
  ASSERT_EQ(test::RunShell("qemu-img convert -O raw " + test::Quote(image) + " " + test::Quote(raw)).status, 0);
  const std::vector<OraclePartition> partitions = SfdiskPartitions(raw);
  ASSERT_GE(partitions.size(), 3u);

  Open(image);
  ASSERT_NO_FATAL_FAILURE(DriveNext());
  std::set<QString> seen;
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    SCOPED_TRACE(i);
    const OraclePartition& p = partitions[i];
    ASSERT_NO_FATAL_FAILURE(ScanPartition(static_cast<int>(i)));
    const std::map<QString, QString> shown = DriveInformation(*window_);
    ASSERT_FALSE(shown.empty()) << "no Drive Information dialog";

    const test::FsstatReport fsstat = test::Fsstat(raw, p.start);
    ASSERT_GT(fsstat.clusterBytes, 0u);
    const std::uint64_t spc = fsstat.clusterBytes / 512;
    EXPECT_EQ(shown.at("File System:"), p.fileSystem);
    EXPECT_EQ(shown.at("SPC:"), QString::number(spc));
    if (p.fileSystem == QLatin1String("NTFS")) {
      ASSERT_TRUE(fsstat.mftCluster);
      EXPECT_EQ(shown.at("Start Sector:"), QString::number(p.start));
      EXPECT_EQ(shown.at("MFT Start:"), QString::number(p.start + *fsstat.mftCluster * spc));
      EXPECT_EQ(shown.at("First FAT:"), QStringLiteral("N/A"));
      EXPECT_EQ(shown.at("Second FAT:"), QStringLiteral("N/A"));
    } else {
      ASSERT_TRUE(fsstat.fat0Start && fsstat.fat1Start && fsstat.clusterAreaStart);
      // Start Sector is where cluster 0 would lie: two clusters before the
      // first one, cluster 2.
      EXPECT_EQ(shown.at("Start Sector:"), QString::number(p.start + *fsstat.clusterAreaStart - 2 * spc));
      EXPECT_EQ(shown.at("First FAT:"), QString::number(p.start + *fsstat.fat0Start));
      EXPECT_EQ(shown.at("Second FAT:"), QString::number(p.start + *fsstat.fat1Start));
      EXPECT_EQ(shown.at("MFT Start:"), QStringLiteral("N/A"));
      // The folders and files of the volume, as fls lists them.
      std::size_t folders = 0, files = 0;
      for (const test::ListedItem& item : test::FlsItems(raw, static_cast<std::uint32_t>(p.start)))
        ++(item.folder ? folders : files);
      ASSERT_GT(files, 0u);
      EXPECT_EQ(shown.at("Directories:"), QString::number(folders));
      EXPECT_EQ(shown.at("Files:"), QString::number(files));
    }
    seen.insert(p.fileSystem);
    QTest::mouseClick(wizard_->results->back, Qt::LeftButton);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kPartition);
  }
  EXPECT_EQ(seen, (std::set<QString>{"NTFS", "FAT16", "FAT32"}));
}


// The Partition Type question on a disk whose table lost its FAT32 entry,
// answered in the dialog itself: Escape stays on the drive page, Return takes
// the table as it is (two partitions), and "Search the disk for partitions"
// finds the third where sfdisk lists it on the intact disk, as long as its
// boot sector says (fsstat).
TEST_F(DialogsTest, PartitionTypeUsesTheTableOrSearchesTheDisk) {
  const fs::path intact = test::PartitionFixture("classic.raw");
  const std::vector<OraclePartition> expected = SfdiskPartitions(intact);
  ASSERT_EQ(expected.size(), 3u);
  test::DiskCopy copy("classic");
  copy.Patch(test::RecordEntryOffset(2), std::vector<std::uint8_t>(16, 0));

  // The dialog as the program shows it, acted on once it is up.
  std::function<void(PartitionTypeDialog&)> act;
  int asked = 0;
  QString intro;
  wizard_->askPartitionChoice = [&](std::size_t listed) {
    ++asked;
    QTimer::singleShot(0, wizard_, [&] {
      auto* dialog = wizard_->findChild<PartitionTypeDialog*>();
      ASSERT_NE(dialog, nullptr);
      ASSERT_TRUE(dialog->isVisible());
      intro = dialog->findChild<QLabel*>()->text();
      act(*dialog);
    });
    return AskPartitionType(listed, wizard_);
  };
  Open(copy.Wrapped("vhdx"));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();

  act = [](PartitionTypeDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); };
  QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(intro, QStringLiteral("The drive's partition table lists 2 partitions."));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  EXPECT_FALSE(wizard_->Busy());
  EXPECT_TRUE(wizard_->drive->buttons.forward->isEnabled());

  const auto listed = [&] {
    std::vector<std::pair<QString, QString>> rows;
    for (int i = 0; i < wizard_->partition->partitions->topLevelItem(0)->childCount(); ++i) {
      wizard_->partition->partitions->setCurrentItem(PartitionItem(i));
      const InfoPane& pane = *wizard_->partition->info;
      rows.push_back(
          {pane.Value("Partition type:"), pane.Value("Partition Start:") + "-" + pane.Value("Partition End:")});
    }
    return rows;
  };
  const auto row = [](const OraclePartition& p, std::uint64_t sectors) {
    return std::pair{p.fileSystem, QStringLiteral("%1-%2").arg(p.start).arg(p.start + sectors - 1)};
  };

  act = [](PartitionTypeDialog& dialog) {
    EXPECT_TRUE(dialog.useTable->isChecked());
    QTest::keyClick(&dialog, Qt::Key_Return);
  };
  ASSERT_NO_FATAL_FAILURE(DriveNext());
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(listed(), (std::vector{row(expected[0], expected[0].sectors), row(expected[1], expected[1].sectors)}));

  QTest::mouseClick(wizard_->partition->buttons.back, Qt::LeftButton);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  act = [](PartitionTypeDialog& dialog) {
    QTest::mouseClick(dialog.search, Qt::LeftButton);
    QTest::keyClick(&dialog, Qt::Key_Return);
  };
  ASSERT_NO_FATAL_FAILURE(DriveNext());
  EXPECT_EQ(asked, 3);
  const std::optional<std::uint32_t> fat32End = test::Fsstat(intact, expected[2].start).totalEnd;
  ASSERT_TRUE(fat32End);
  EXPECT_EQ(listed(), (std::vector{row(expected[0], expected[0].sectors), row(expected[1], expected[1].sectors),
                                   row(expected[2], *fat32End + 1)}));
  EXPECT_EQ(PartitionItem(2)->text(0), QStringLiteral("Partition 2  (FAT32)"));
}

}  // namespace
}  // namespace dravik::app
