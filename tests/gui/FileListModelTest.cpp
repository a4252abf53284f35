// The list of the folder shown, sorted as a click on a column header sorts
// it: "Parent..." first, folders before files, each row whole (name, size
// and identifier together) after the rows have been moved into their order,
// ties left in the order the rows had.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/results/FileListModel.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"

namespace dravik::app {
namespace {

constexpr std::uint32_t kDirId = 64;
constexpr std::uint64_t kDay = 864000000000ull;  // in 100 ns ticks
constexpr std::uint64_t kFileTime2020 = 132223104000000000ull;

struct FileSpec {
  std::u16string name;
  std::uint64_t size;
  int day;  // modification day after 2020-01-01
};

class FileListSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.AddFolder({.name = u"dir", .id = kDirId, .parentId = kNtfsRootId});
    store_.AddFolder({.name = u"Zeta", .id = 70, .parentId = kDirId});
    store_.AddFolder({.name = u"alpha", .id = 71, .parentId = kDirId});
    const std::vector<FileSpec> files = {
        {u"b.TXT", 10, 3}, {u"A.txt", 30, 1}, {u"c.txt", 10, 4}, {u"B2.doc", 30, 2}, {u"d", 5, 0}};
    std::uint32_t id = 100;
    for (const FileSpec& f : files) {
      const std::uint64_t moment = kFileTime2020 + static_cast<std::uint64_t>(f.day) * kDay;
      store_.AddFile({.name = f.name,
                      .id = id,
                      .parentId = kDirId,
                      .times = ItemTimes::FileTimes(moment, moment, 0),
                      .size = f.size,
                      .key = 1000u + id,
                      .locator = 1000u + id});
      ++id;
    }
    // A second folder whose names differ by the numbers in them.
    store_.AddFolder({.name = u"music", .id = 80, .parentId = kNtfsRootId});
    for (const std::u16string name : {u"song_10.mp3", u"Song_2.mp3", u"song_1.mp3", u"song_009.mp3", u"song_2a.mp3"}) {
      store_.AddFile({.name = name, .id = id, .parentId = 80, .size = 1, .key = 1000u + id, .locator = 1000u + id});
      ++id;
    }
    tree_.emplace(ResultTree::Build(store_, FsFamily::kNtfs));
    model_.SetTree(&*tree_, &store_);
    Show();
  }

  void Show() { model_.ShowFolder(*tree_->FindFolder(u"dir"), filter_); }

  // Each row as "name:size:id" (size and id left out where a row has none).
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (int r = 0; r < model_.rowCount(); ++r) {
      const ListRow* row = model_.Row(r);
      std::string text = QString::fromStdU16String(row->name).toStdString();
      if (row->kind == ListRow::Kind::kFile) text += ":" + std::to_string(*row->size) + ":" + std::to_string(row->id);
      rows.push_back(text);
    }
    return rows;
  }

  RecoveryStore store_;
  std::optional<ResultTree> tree_;
  FilterList filter_;
  FileListModel model_;
};

TEST_F(FileListSortTest, NameSizeAndTimeKeepParentFoldersFirstAndRowsWhole) {
  using Texts = std::vector<std::string>;
  model_.sort(FileListModel::kName, Qt::AscendingOrder);
  EXPECT_EQ(Rows(), (Texts{"Parent...", "alpha", "Zeta", "A.txt:30:1101", "b.TXT:10:1100", "B2.doc:30:1103",
                          "c.txt:10:1102", "d:5:1104"}));
  model_.sort(FileListModel::kName, Qt::DescendingOrder);
  EXPECT_EQ(Rows(), (Texts{"Parent...", "Zeta", "alpha", "d:5:1104", "c.txt:10:1102", "B2.doc:30:1103",
                          "b.TXT:10:1100", "A.txt:30:1101"}));

  // Listed again, the folder keeps the chosen order; equal sizes keep the order the list had.
  Show();
  EXPECT_EQ(Rows()[3], "d:5:1104");
  model_.sort(FileListModel::kSize, Qt::DescendingOrder);
  EXPECT_EQ(Rows(), (Texts{"Parent...", "Zeta", "alpha", "B2.doc:30:1103", "A.txt:30:1101", "c.txt:10:1102",
                          "b.TXT:10:1100", "d:5:1104"}));
  model_.sort(FileListModel::kModified, Qt::AscendingOrder);
  EXPECT_EQ(Rows(), (Texts{"Parent...", "Zeta", "alpha", "d:5:1104", "A.txt:30:1101", "B2.doc:30:1103",
                          "b.TXT:10:1100", "c.txt:10:1102"}));
  model_.sort(FileListModel::kType, Qt::AscendingOrder);
  EXPECT_EQ(Rows(), (Texts{"Parent...", "Zeta", "alpha", "B2.doc:30:1103", "d:5:1104", "A.txt:30:1101",
                          "b.TXT:10:1100", "c.txt:10:1102"}));
}

TEST_F(FileListSortTest, NamesSortByTheValueOfTheirNumbersAndTheSortHoldsInTheNextFolder) {
  using Texts = std::vector<std::string>;
  model_.sort(FileListModel::kName, Qt::DescendingOrder);
  model_.ShowFolder(*tree_->FindFolder(u"music"), filter_);
  EXPECT_EQ(Rows(), (Texts{"Parent...", "song_10.mp3:1:1105", "song_009.mp3:1:1108", "song_2a.mp3:1:1109",
                          "Song_2.mp3:1:1106", "song_1.mp3:1:1107"}));
  // Column -1 lists folders as the engine does again.
  model_.sort(-1, Qt::AscendingOrder);
  model_.ShowFolder(*tree_->FindFolder(u"music"), filter_);
  EXPECT_EQ(Rows()[1], "song_10.mp3:1:1105");
}

}  // namespace
}  // namespace dravik::app
