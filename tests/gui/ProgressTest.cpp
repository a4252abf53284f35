// Progress a person can follow, on the fixture images: the counters of the
// partition search, the Extensive Scan (both searches and the gathering of
// the volume chosen) and File Trace move with the scan, the save window ends
// on "File M of M" with every byte of the checked total, and the times read
// as two-digit clocks, the time left only once the rate is steady.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTest>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "TestFiles.h"
#include "WindowTest.h"
#include "app/AppTexts.h"
#include "app/ProgressTimes.h"
#include "app/results/SaveProgressDialog.h"
#include "app/trace/FileTypesDialog.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/FileSystemPage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "save/SaveDriver.h"

namespace dravik::app {
namespace {

constexpr int kScanTimeoutMs = 60000;

class ProgressTest : public WindowTest {
 protected:
  // From the start page to the partition page of the mode.
  void ToPartitionPage(const std::filesystem::path& image, ModeButton* mode) {
    wizard_->start->path->setText(QString::fromStdString(image.string()));
    QTest::mouseClick(mode, Qt::LeftButton);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  }

  // Scans from the partition page until the page is left; the counters as the scan left them.
  QStringList ScanCounters(int rows) {
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() != Wizard::kPartition; }, kScanTimeoutMs));
    QStringList counters;
    for (int row = 0; row < rows; ++row) counters << wizard_->partition->progress->Counter(row);
    return counters;
  }
};

TEST_F(ProgressTest, ExtensiveScanCountersFollowBothSearches) {
  // NTFS without its boot sectors: boot sectors, index entries, files, folders, current sector.
  // Its disk holds no partition table: the partitions were searched for, to the disk's end.
  ToPartitionPage(test::ExtensiveFixture("ntfslost.vhd"), wizard_->start->extensive);
  EXPECT_EQ(wizard_->drive->progress->Counter(0).toULongLong(), wizard_->session().partitions.Count());
  EXPECT_EQ(wizard_->drive->progress->Counter(1).toULongLong(), wizard_->session().reader.SectorCount());
  ASSERT_EQ(wizard_->partition->fileSystem->currentText(), QStringLiteral("NTFS"));
  const QStringList ntfs = ScanCounters(6);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kFileSystem);
  EXPECT_EQ(ntfs[0], QStringLiteral("0"));
  for (int row = 1; row < 5; ++row) EXPECT_GT(ntfs[row].toULongLong(), 0u) << "row " << row;
  EXPECT_LE(ntfs[4].toULongLong(), wizard_->session().reader.SectorCount());
  EXPECT_EQ(ntfs[5], QString()) << "five counters";
  // The volume's folders and files as they are gathered.
  QTest::mouseClick(wizard_->fileSystem->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  EXPECT_EQ(wizard_->fileSystem->progress->Counter(0).toULongLong(), wizard_->session().Store().Folders().size());
  EXPECT_EQ(wizard_->fileSystem->progress->Counter(1).toULongLong(), wizard_->session().Store().Files().size());
  EXPECT_GT(wizard_->session().Store().Files().size(), 0u);

  // FAT16: boot sectors, folders (their first clusters), current sector.
  wizard_->Home();
  ToPartitionPage(test::FatFixture("fat16.vhdx"), wizard_->start->extensive);
  wizard_->partition->fileSystem->setCurrentIndex(2);
  const QStringList fat = ScanCounters(4);
  EXPECT_GE(fat[0].toULongLong(), 1u);
  EXPECT_GE(fat[1].toULongLong(), 3u);
  EXPECT_GT(fat[2].toULongLong(), 0u);
  EXPECT_LE(fat[2].toULongLong(), wizard_->session().reader.SectorCount());
  EXPECT_EQ(fat[3], QString());
}

TEST_F(ProgressTest, FileTraceCountsSectorsReadAndFilesFound) {
  wizard_->chooseTraceTypes = [&](std::uint32_t last) -> std::optional<TraceChoice> {
    FileTypesDialog dialog(
        LoadCatalogue(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + "/../Raw.dat"), last,
        wizard_->messenger());
    dialog.CheckExtensions({".jpg", ".pdf", ".zip"});
    dialog.accept();
    return dialog.Choice();
  };
  ToPartitionPage(test::FixtureIn("trace", "trace.vhdx"), wizard_->start->trace);
  const QStringList counters = ScanCounters(2);
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kResults) << Last().toStdString();
  EXPECT_GT(counters[0].toULongLong(), 0u);
  EXPECT_GE(counters[1].toULongLong(), 3u);
}

TEST_F(ProgressTest, TheSaveWindowEndsOnEveryFileAndByteOfTheCheckedTotal) {
  ToPartitionPage(test::FatFixture("fat16.vhdx"), wizard_->start->quick);
  QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  const Session& s = wizard_->session();
  const SelectedFiles selected = CountSelected(s.Store(), *s.Tree(), s.settings, s.filter);
  ASSERT_GT(selected.files, 10u);

  // Read while the window still stands, as the report of its end is shown.
  QString files, bytes;
  bool enterPressesAButton = true;
  wizard_->messenger().SetFunction([&](const QString& text, MessageKind, bool) {
    if (auto* dialog = window_->findChild<SaveProgressDialog*>()) {
      files = dialog->FilesText();
      bytes = dialog->BytesText();
      enterPressesAButton = false;
      for (QPushButton* button : {dialog->SkipButton(), dialog->StopButton()})
        enterPressesAButton |= button->autoDefault() || button->isDefault();
    }
    messages_.push_back({text, MessageKind::kInformation});
    return kYes;
  });
  test::TempDir out;
  wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
  QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
  ASSERT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
  EXPECT_EQ(files, QStringLiteral("File %1 of %1").arg(selected.files));
  const QString total = QLocale().formattedDataSize(static_cast<qint64>(selected.bytes), 1,
                                                    QLocale::DataSizeTraditionalFormat);
  EXPECT_EQ(bytes, QStringLiteral("%1 of %1").arg(total));
  EXPECT_FALSE(enterPressesAButton) << "a stray Enter neither skips a file nor asks to stop";
}

TEST(ProgressTimesTest, ClocksHaveTwoDigitFieldsAndTimeLeftWaitsForASteadyRate) {
  EXPECT_EQ(ClockText(0), QStringLiteral("00:00:00"));
  EXPECT_EQ(ClockText(((1 * 60 + 2) * 60 + 3) * 1000 + 999), QStringLiteral("01:02:03"));
  EXPECT_EQ(ClockText(qint64{100} * 3600 * 1000), QStringLiteral("100:00:00"));
  EXPECT_EQ(TimeLeft(60000, 0.25), std::optional<qint64>(180000));
  EXPECT_EQ(TimeLeft(4000, 0.5), std::nullopt) << "the first seconds";
  EXPECT_EQ(TimeLeft(60000, 0.01), std::nullopt) << "the first percent";
  EXPECT_EQ(TimeLeft(60000, 1.0), std::optional<qint64>(0));
}

}  // namespace
}  // namespace dravik::app
