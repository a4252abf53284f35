#pragma once
// A fresh main window for a test: its messages kept (and the last report's lines), its questions
// answered by onQuestion_ (No when unset), Partition Type with the drive's table; the road through
// the pages, a result made of a few records, helpers on the results page, and the modal dialog a
// command opens.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "FatFixtures.h"
#include "QtPrinters.h"
#include "TestFiles.h"
#include "app/AppTexts.h"
#include "app/MainWindow.h"
#include "app/Messenger.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/FileSystemPage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {

// Runs body on the modal dialog that the command opens, then closes it.
template <typename Dialog>
void WithModal(MainWindow& window, const char* command, const std::function<void(Dialog&)>& body) {
  bool ran = false;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<Dialog*>(modal)) body(*dialog), ran = true;
    if (modal) modal->close();
  });
  window.Command(command)->trigger();
  EXPECT_TRUE(ran) << "the command opened no dialog of the kind";
}

class WindowTest : public ::testing::Test {
 protected:
  static constexpr int kScanTimeoutMs = 60000;
  void SetUp() override {
    window_ = std::make_unique<MainWindow>();
    wizard_ = window_->wizard();
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
  // The start page's mode button with the image typed into its box.
  void Open(const std::filesystem::path& image, ScanMode mode = ScanMode::kQuick) {
    wizard_->start->path->setText(QString::fromStdString(image.string()));
    QWidget* button = mode == ScanMode::kQuick       ? static_cast<QWidget*>(wizard_->start->quick)
                      : mode == ScanMode::kExtensive ? static_cast<QWidget*>(wizard_->start->extensive)
                                                     : static_cast<QWidget*>(wizard_->start->trace);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  // Presses the page's forward button and waits until the page shown is `page`.
  void Forward(QPushButton* button, Wizard::Page page) {
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !wizard_->Busy() && wizard_->CurrentPage() == page; }, kScanTimeoutMs))
        << Last().toStdString();
  }
  // From the start page to the partition page, and on to the results of its first partition.
  void ToPartitionPage(const std::filesystem::path& image, ScanMode mode = ScanMode::kQuick) {
    Open(image, mode);
    ASSERT_EQ(wizard_->CurrentPage(), Wizard::kDrive) << Last().toStdString();
    ASSERT_NO_FATAL_FAILURE(Forward(wizard_->drive->buttons.forward, Wizard::kPartition));
  }
  void ScanToResults(const std::filesystem::path& image, ScanMode mode = ScanMode::kQuick) {
    ASSERT_NO_FATAL_FAILURE(ToPartitionPage(image, mode));
    ASSERT_NO_FATAL_FAILURE(Forward(wizard_->partition->buttons.forward, Wizard::kResults));
  }
  // Saves what is checked into a fresh folder by `save`; the saved files by path.
  std::map<std::string, std::string> SaveChecked(const std::function<void()>& save = {}) {
    test::TempDir out;
    wizard_->chooseDestination = [&] { return QString::fromStdString(out.Path().string()); };
    if (save) save(); else QTest::mouseClick(wizard_->results->recover, Qt::LeftButton);
    EXPECT_EQ(Last(), QString(AppTexts::kSavedSuccessfully));
    return test::Sha256Tree(out.Path());
  }
  // Menus are not shown: their texts are kept, and the entry named `pick` is triggered.
  void PickFromMenus(const QString& pick) {
    window_->showMenu = [this, pick](QMenu& menu, const QPoint&) {
      menus_.emplace_back();
      for (QAction* action : menu.actions()) {
        if (action->isSeparator()) continue;
        menus_.back() << action->text();
        if (action->text() == pick) action->trigger();
      }
    };
  }
  // A result of a few records, shown as a Quick Scan of a FAT volume leaves it.
  struct Folder { std::u16string name; std::uint32_t id, parent; };
  struct File { std::u16string name; std::uint32_t parent; std::uint64_t size; bool deleted = false; };
  void ShowRecords(const std::vector<Folder>& folders, const std::vector<File>& files) {
    Session& session = wizard_->session();
    session.result.emplace();
    for (const Folder& f : folders) session.result->store->AddFolder({.name = f.name, .id = f.id, .parentId = f.parent});
    std::uint64_t key = 0;
    for (const File& f : files)
      session.result->store->AddFile({.name = f.name, .parentId = f.parent, .size = f.size, .deleted = f.deleted,
                                      .key = key, .locator = 100 + key}), ++key;
    session.result->tree.emplace(ResultTree::Build(*session.result->store, FsFamily::kFat));
    wizard_->ShowResults();
  }
  int RowNamed(const std::u16string& name) const {
    for (int r = 0; r < wizard_->results->listModel->rowCount(); ++r)
      if (wizard_->results->listModel->Row(r)->name == name) return r;
    return -1;
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
  // Whether `act` asked for a folder to save into (none is given).
  bool AsksForFolder(const std::function<void()>& act) {
    bool asked = false;
    wizard_->chooseDestination = [&] { asked = true; return QString(); };
    act();
    return asked;
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
  std::vector<QStringList> menus_;
};

}  // namespace dravik::app
