#pragma once
// A fresh main window for a test: every message it shows is kept (with the
// list of the last report), and its questions are answered by onQuestion_
// (No when it is not set); the Partition Type question is answered with the
// drive's own table.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QString>
#include <QTest>
#include <QStringList>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/MainWindow.h"
#include "app/Messenger.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {

class WindowTest : public ::testing::Test {
 protected:
  static constexpr int kScanTimeoutMs = 60000;

  void SetUp() override {
    window_ = std::make_unique<MainWindow>();
    wizard_ = window_->wizard();
    // The drive's own table, unless a test asks otherwise.
    wizard_->askPartitionChoice = [](std::size_t) { return PartitionChoice::kUseExisting; };
    wizard_->messenger().SetFunction([this](const QString& text, MessageKind kind, bool yesNo) {
      messages_.push_back({text, kind});
      if (yesNo && onQuestion_) return onQuestion_(text);
      return yesNo ? kNo : kYes;
    });
    wizard_->messenger().SetReportFunction([this](const QString& text, MessageKind kind, const QStringList& lines) {
      messages_.push_back({text, kind});
      reportLines_ = lines;
    });
    window_->show();
  }

  // From the start page to the results of a Quick Scan of the first partition.
  void ScanToResults(const std::filesystem::path& image) {
    wizard_->start->path->setText(QString::fromStdString(image.string()));
    QTest::mouseClick(wizard_->start->quick, Qt::LeftButton);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    QTest::mouseClick(wizard_->drive->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kPartition; }, kScanTimeoutMs));
    QTest::mouseClick(wizard_->partition->buttons.forward, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_->CurrentPage() == Wizard::kResults; }, kScanTimeoutMs));
  }

  QString Last() const { return messages_.empty() ? QString() : messages_.back().first; }
  bool Shown(const QString& text) const {
    return std::any_of(messages_.begin(), messages_.end(), [&](const auto& m) { return m.first == text; });
  }

  std::unique_ptr<MainWindow> window_;
  Wizard* wizard_ = nullptr;
  std::vector<std::pair<QString, MessageKind>> messages_;
  std::function<int(const QString&)> onQuestion_;
  QStringList reportLines_;
};

}  // namespace dravik::app
