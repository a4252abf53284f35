// Damaged containers and files that are no image at all, through the real
// engine on copies of the FAT fixture images broken by byte edits: the
// repairs page, the offer to read a file as a raw disk after it failed to
// open, the raw check box, and the save report of a cut image.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QTableWidget>
#include <QTimer>
#include <functional>
#include <random>
#include <set>

#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "WindowTest.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/RepairsPage.h"
#include "disk/DriveInfo.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::app {
namespace {

namespace fs = std::filesystem;

std::string FileSum(const fs::path& path) { return test::Sha256Bytes(test::ReadFileBytes(path)); }

class DamagedImageTest : public WindowTest {
 protected:
  // A copy of a fixture in dir_ under name, broken by damage.
  fs::path DamagedCopy(const std::string& fixture, const std::string& name,
                       const std::function<void(const fs::path&)>& damage) {
    const fs::path copy = dir_ / name;
    fs::copy_file(test::FatFixture(fixture), copy);
    damage(copy);
    return copy;
  }

  QString Cell(int row, int column) const { return wizard_->repairs->list->item(row, column)->text(); }
  QString DriveValue(const char* label) const { return wizard_->drive->info->Value(QString::fromLatin1(label)); }

  test::TempDir dir_;
};

// One structure broken per case: the repairs page lists what the reader did,
// in rows tall enough for their wrapped texts; Next leads to the drive page,
// Back from there to the repairs page and on to the start page; the image
// is never written.
TEST_F(DamagedImageTest, RepairsAreListedOnTheirOwnPageBeforeTheDrivePage) {
  struct Case {
    const char* fixture;
    std::uint64_t at;  // the bytes zeroed
    std::size_t length;
    const char* structure;  // of the first repair
    const char* problem;    // its beginning
  } cases[] = {
      {"fat32.vhdx", 64 * 1024, 4096, "header 1", "zeroed"},
      {"fat32.vhdx", 192 * 1024, 64 * 1024, "region table 1", "zeroed"},
      {"fat16.vhdx", 192 * 1024, 128 * 1024, "region tables", "neither is valid"},
      {"fat16.vhd", 512, 1024, "dynamic header", "missing"},
  };
  // The smallest window with a large font (as a user who needs one has it),
  // so that the long texts must wrap.
  window_->resize(window_->minimumSize());
  QFont large = window_->font();
  large.setPointSizeF(large.pointSizeF() * 1.8);
  window_->setFont(large);
  int wrapped = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.structure);
    const fs::path image = DamagedCopy(c.fixture, std::string(c.structure) + fs::path(c.fixture).extension().string(),
                                       [&](const fs::path& copy) { test::PatchFile(copy, c.at, std::vector<std::uint8_t>(c.length, 0)); });
    const std::string sum = FileSum(image);
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
    EXPECT_EQ(FileSum(image), sum) << "the image was written";
  }
  EXPECT_GT(wrapped, 0) << "no text was long enough to wrap";
}

// A file of random bytes named .vhdx does not open; after the message the
// program asks whether to read it as a raw disk. No (and Escape in the real
// message box) leaves the start page; Yes opens the file as a raw disk and
// ticks the check box, which another path unticks again. A disk copied byte
// for byte but named .vhdx gets to its partition that way; the start page's
// check box reads any file so.
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
  EXPECT_EQ(wizard_->session().partitions.Entries().at(0).start, test::ReadFatLayout("fat16").start);

  // The check box reads an image as the bytes of its file, without asking;
  // without it the same path opens as its name says again.
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

// A VHDX of three data blocks cut to 60 % of its size: the repairs page names
// the block table; the scan names the folders it could not read whole, and
// the save report lists the files saved incomplete and is no success. (Which
// files those are, against the fixture: SalvageCliCutTest.)
TEST_F(DamagedImageTest, ACutImageNamesItsIncompleteFilesInTheSaveReport) {
  const fs::path image = DamagedCopy("fat16-32k.vhdx", "cut.vhdx", [](const fs::path& copy) {
    fs::resize_file(copy, fs::file_size(copy) * 6 / 10);
  });
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
