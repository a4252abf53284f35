// The window on a 1366x768 screen at a large scale (QT_SCALE_FACTOR, or the screen's own given by
// DRAVIK_SCREEN_SCALE): it fits, and every page of the Quick Scan road keeps its buttons whole and on screen.
// One process a scale.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "WindowTest.h"
#include "app/wizard/ProgressPane.h"

namespace dravik::app {
namespace {

// Why a button is not whole and on screen; empty when it is.
std::string Unreachable(QPushButton* button, const QRect& screen) {
  if (!button->isVisible()) return "hidden";
  if (button->visibleRegion().boundingRect() != button->rect()) return "cut by the page around it";
  const QRect global(button->mapToGlobal(QPoint(0, 0)), button->size());
  return screen.contains(global) ? "" : "off the screen";
}
void ExpectReachable(const char* page, std::initializer_list<QPushButton*> buttons, const QRect& screen) {
  for (QPushButton* button : buttons) EXPECT_EQ(Unreachable(button, screen), "") << page << ": " << button->text().toStdString();
}

using ScaleTest = WindowTest;

TEST_F(ScaleTest, TheWindowFitsTheScreenAndEveryPageKeepsItsButtonsOnIt) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  const QRect screen = window_->screen()->availableGeometry();
  ASSERT_LT(screen.width(), 1366) << "the scale is in effect";
  EXPECT_TRUE(screen.contains(window_->frameGeometry()));
  const QSize smallest = window_->minimumSizeHint();
  EXPECT_LE(smallest.width(), screen.width());
  EXPECT_LE(smallest.height(), screen.height());
  Open(test::FatFixture("fat16.vhdx"));
  ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive);
  const PageButtons& drive = wizard_->drive->buttons;
  ExpectReachable("drive page", {drive.forward, drive.back, drive.home}, screen);
  ASSERT_NO_FATAL_FAILURE(Forward(drive.forward, Wizard::kPartition));
  const PageButtons& buttons = wizard_->partition->buttons;
  ExpectReachable("partition page", {buttons.forward, buttons.back, buttons.home}, screen);
  // A scan of the longest kind (five counters) keeps its progress switch in view, below the partition's information.
  ProgressPane* progress = wizard_->partition->progress;
  progress->SetLabels({QStringLiteral("Boot Sectors Found :"), QStringLiteral("Index Entries Found :"),
                       QStringLiteral("File(s) Found :"), QStringLiteral("Folders Found :"),
                       QStringLiteral("Current Sector :")});
  wizard_->partition->SetBusy(true);
  QTest::qWait(50);
  EXPECT_EQ(Unreachable(progress->ToggleButton(), screen), "") << "partition page: the progress switch";
  wizard_->partition->SetBusy(false);
  ASSERT_NO_FATAL_FAILURE(Forward(buttons.forward, Wizard::kResults));
  ExpectReachable("results page", {wizard_->results->recover, wizard_->results->back, wizard_->results->home}, screen);
  EXPECT_TRUE(screen.contains(window_->frameGeometry())) << "no page made the window grow past the screen";
}

}  // namespace
}  // namespace dravik::app

int main(int argc, char** argv) {
  QStandardPaths::setTestModeEnabled(true);
  // Settings of this process only, and an offscreen 1366x768 screen at the scale asked for.
  QTemporaryDir folder;
  qputenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
  // The screen's own scale is its logical DPI over the usual 96.
  const double screenScale = qEnvironmentVariableIsSet("DRAVIK_SCREEN_SCALE") ? qgetenv("DRAVIK_SCREEN_SCALE").toDouble() : 1;
  const QString config = folder.filePath(QStringLiteral("screen.json"));
  QFile file(config);
  if (!file.open(QIODevice::WriteOnly)) return 2;
  file.write(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1366, "height": 768, "logicalDpi": )" +
             QByteArray::number(qRound(96 * screenScale)) + "}]}");
  file.close();
  qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.toLocal8Bit());
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
