#pragma once
// A fresh main window for a test: every message it shows is kept (with the
// list of the last report), and its questions are answered by onQuestion_
// (No when it is not set); the Partition Type question is answered with the
// drive's own table.

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/MainWindow.h"
#include "app/Messenger.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<MainWindow>();
    wizard_ = window_->wizard();
    // The drive's own table, unless a test asks otherwise.
    wizard_->askPartitionChoice = [] { return PartitionChoice::kUseExisting; };
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
