// A later start of the program with an image: the running window takes the path over the local socket, and
// the start that handed it over is told it was taken.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

#include "WindowTest.h"
#include "app/SingleInstance.h"

namespace dravik::app {
namespace {

class SingleInstanceTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(folder_.isValid());
    running_ = std::make_unique<SingleInstance>(Lock(), Socket());
    ASSERT_TRUE(running_->Acquire());
    QObject::connect(running_.get(), &SingleInstance::PathReceived, window_.get(), &MainWindow::OpenHandedOver);
  }

  QString Lock() const { return folder_.filePath(QStringLiteral("instance.lock")); }
  QString Socket() const { return folder_.filePath(QStringLiteral("instance.socket")); }
  // A later start: finds the lock taken and hands its path over, from a thread of its own, as the
  // hand-over waits for the answer the window gives from its event loop.
  bool LaterStart(const QString& path) {
    SingleInstance later(Lock(), Socket());
    if (later.Acquire()) return false;
    bool handed = false;
    std::unique_ptr<QThread> sender(QThread::create([&] { handed = later.HandOver(path, 5000); }));
    sender->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return sender->isFinished(); }, 10000));
    sender->wait();
    return handed;
  }
  // Whether the start page's box holds this file, however its path is spelled.
  bool StartPathIs(const QString& image) const {
    return QFileInfo(wizard_->start->path->text()).canonicalFilePath() == QFileInfo(image).canonicalFilePath();
  }
  QTemporaryDir folder_;
  std::unique_ptr<SingleInstance> running_;
};

TEST_F(SingleInstanceTest, AnImageOfALaterStartGoesIntoTheRunningWindow) {
  const QString image = QString::fromStdString(test::FatFixture("fat32.vhdx").string());
  window_->showMinimized();
  ASSERT_TRUE(LaterStart(image));
  ASSERT_TRUE(QTest::qWaitFor([&] { return StartPathIs(image); }, 5000));
  EXPECT_EQ(wizard_->CurrentPage(), Wizard::kStart);
  EXPECT_FALSE(window_->isMinimized()) << "the window comes to the front";
  // A relative path is made whole where the later start ran, not where the window runs.
  const QString previous = QDir::currentPath();
  QDir::setCurrent(QFileInfo(image).absolutePath());
  const bool handed = LaterStart(QFileInfo(image).fileName());
  QDir::setCurrent(previous);
  ASSERT_TRUE(handed);
  ASSERT_TRUE(QTest::qWaitFor([&] { return StartPathIs(image); }, 5000));
}

TEST_F(SingleInstanceTest, APathWaitsWhileTheWindowIsBusyWithADialog) {
  QDialog dialog(window_.get());
  dialog.setModal(true);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &dialog; }, 2000));
  const QString image = QString::fromStdString(test::FatFixture("fat32.vhdx").string());
  ASSERT_TRUE(LaterStart(image));
  QTest::qWait(700);
  EXPECT_TRUE(wizard_->start->path->text().isEmpty()) << "nothing opens under an open dialog";
  dialog.close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return StartPathIs(image); }, 5000));
}

TEST_F(SingleInstanceTest, NoRunningProgramTakesTheLockAndNobodyAnswersAHandOver) {
  QTemporaryDir elsewhere;
  SingleInstance alone(elsewhere.filePath(QStringLiteral("l")), elsewhere.filePath(QStringLiteral("s")));
  EXPECT_FALSE(alone.HandOver(QStringLiteral("/x.vhd"), 300)) << "no program listens yet";
  EXPECT_TRUE(alone.Acquire());
  // The lock is the running program's until it ends.
  EXPECT_FALSE(SingleInstance(Lock(), Socket()).Acquire());
  running_.reset();
  EXPECT_TRUE(SingleInstance(Lock(), Socket()).Acquire());
}

}  // namespace
}  // namespace dravik::app
