// The window on a 1366x768 screen at a large scale (QT_SCALE_FACTOR, or the
// screen's own given by DRAVIK_SCREEN_SCALE): it fits, and every page of the
// Quick Scan road keeps its buttons whole and on screen. One process a scale.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "FatFixtures.h"
#include "app/MainWindow.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {
namespace {

constexpr int kScanTimeoutMs = 60000;

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

TEST(ScaleTest, TheWindowFitsTheScreenAndEveryPageKeepsItsButtonsOnIt) {
  MainWindow window;
  Wizard* wizard = window.wizard();
  wizard->messenger().SetFunction([](const QString&, MessageKind, bool yesNo) { return yesNo ? kNo : kYes; });
  wizard->askPartitionChoice = [](std::size_t) { return PartitionChoice::kUseExisting; };
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const QRect screen = window.screen()->availableGeometry();
  ASSERT_LT(screen.width(), 1366) << "the scale is in effect";
  EXPECT_TRUE(screen.contains(window.frameGeometry()));
  const QSize smallest = window.minimumSizeHint();
  EXPECT_LE(smallest.width(), screen.width());
  EXPECT_LE(smallest.height(), screen.height());
  wizard->start->path->setText(QString::fromStdString(test::FatFixture("fat16.vhdx").string()));
  QTest::mouseClick(wizard->start->quick, Qt::LeftButton);
  ASSERT_EQ(wizard->CurrentPage(), Wizard::kDrive);
  ExpectReachable("drive page", {wizard->drive->buttons.forward, wizard->drive->buttons.back, wizard->drive->buttons.home}, screen);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
  const PageButtons& buttons = wizard->partition->buttons;
  ExpectReachable("partition page", {buttons.forward, buttons.back, buttons.home}, screen);
  // A scan of the longest kind (five counters) keeps its progress switch in view, below the partition's information.
  ProgressPane* progress = wizard->partition->progress;
  progress->SetLabels({QStringLiteral("Boot Sectors Found :"), QStringLiteral("Index Entries Found :"),
                       QStringLiteral("File(s) Found :"), QStringLiteral("Folders Found :"),
                       QStringLiteral("Current Sector :")});
  wizard->partition->SetBusy(true);
  QTest::qWait(50);
  EXPECT_EQ(Unreachable(progress->ToggleButton(), screen), "") << "partition page: the progress switch";
  wizard->partition->SetBusy(false);
  QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  ExpectReachable("results page", {wizard->results->recover, wizard->results->back, wizard->results->home}, screen);
  EXPECT_TRUE(screen.contains(window.frameGeometry())) << "no page made the window grow past the screen";
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
