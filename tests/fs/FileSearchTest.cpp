// Find Files over hand-made stores: which records are found and in what
// order, the folder each is shown in, the texts and identifiers a save finds
// them by, and a stop in the middle of the walk.

#include <gtest/gtest.h>

#include "MemoryFatVolume.h"
#include "fs/FileSearch.h"
#include "util/ScanControl.h"

namespace dravik {
namespace {

using test::FatDate;

std::vector<SearchHit> Search(const RecoveryStore& store, const ResultTree& tree, std::u16string_view pattern) {
  ScanControl control;
  std::vector<SearchHit> hits;
  const std::size_t count = SearchFiles(store, tree, pattern, control, [&](SearchHit hit) { hits.push_back(hit); });
  EXPECT_EQ(count, hits.size());
  return hits;
}

std::vector<std::u16string> Names(const std::vector<SearchHit>& hits) {
  std::vector<std::u16string> names;
  for (const SearchHit& hit : hits) names.push_back(hit.name);
  return names;
}

// Root
//   Docs (10)         Report.TXT, notes.txt
//     Old (11)        old report.doc (deleted)
//   root files: README, Photo.JPG
//   a file whose folder (99) was never found: stray.txt
class FatSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.AddFolderOnce({.name = u"Docs", .id = 10, .parentId = 0, .times = ItemTimes::Dos(FatDate(2001, 2, 3), 0, 0)});
    store_.AddFolderOnce(
        {.name = u"Old", .id = 11, .parentId = 10, .times = ItemTimes::Dos(FatDate(2001, 2, 3), 0, 0), .deleted = true});
    const auto file = [&](std::u16string name, std::uint32_t parent, std::uint32_t size, bool deleted = false) {
      const auto serial = static_cast<std::uint32_t>(store_.Files().size());
      store_.AddFile({.name = std::move(name),
                      .parentId = parent,
                      .times = ItemTimes::Dos(FatDate(2004, 2, 29), (13 << 11) | (45 << 5) | 29, 0),
                      .size = size,
                      .deleted = deleted,
                      .key = serial,
                      .locator = 100 + serial});
    };
    file(u"README", 0, 5);
    file(u"Report.TXT", 10, 3000);
    file(u"old report.doc", 11, 70, true);
    file(u"Photo.JPG", 0, 123456);
    file(u"notes.txt", 10, 12);
    file(u"stray.txt", 99, 1);
    tree_.emplace(ResultTree::Build(store_, FsFamily::kFat));
  }

  RecoveryStore store_;
  std::optional<ResultTree> tree_;
};

TEST_F(FatSearchTest, PatternsFindRecordsInStoreOrderWithoutRegardToCase) {
  EXPECT_EQ(Names(Search(store_, *tree_, u"*")),
            (std::vector<std::u16string>{u"README", u"Report.TXT", u"old report.doc", u"Photo.JPG", u"notes.txt",
                                         u"stray.txt"}));
  EXPECT_EQ(Names(Search(store_, *tree_, u"*.*")),
            (std::vector<std::u16string>{u"Report.TXT", u"old report.doc", u"Photo.JPG", u"notes.txt", u"stray.txt"}));
  // Without wildcards a part of the name is enough; either side's case is folded.
  EXPECT_EQ(Names(Search(store_, *tree_, u"REPORT")), (std::vector<std::u16string>{u"Report.TXT", u"old report.doc"}));
  EXPECT_EQ(Names(Search(store_, *tree_, u"*.jpg")), (std::vector<std::u16string>{u"Photo.JPG"}));
  EXPECT_EQ(Names(Search(store_, *tree_, u"?ote")), (std::vector<std::u16string>{u"notes.txt"}));
  EXPECT_TRUE(Search(store_, *tree_, u"").empty());
  EXPECT_TRUE(Search(store_, *tree_, u"zzz").empty());
}

TEST_F(FatSearchTest, EachHitCarriesItsFolderTextsAndTheKeysOfItsRecord) {
  const auto hits = Search(store_, *tree_, u"*");
  ASSERT_EQ(hits.size(), 6u);
  EXPECT_EQ(hits[0].folder, u"Root");
  EXPECT_EQ(hits[1].folder, u"Root/Docs");
  EXPECT_EQ(hits[2].folder, u"Root/Docs/Old");
  EXPECT_EQ(hits[5].folder, u"") << "a folder that is not in the tree";
  EXPECT_TRUE(hits[2].deleted);
  EXPECT_FALSE(hits[1].deleted);
  EXPECT_EQ(hits[3].size, 123456u);
  EXPECT_EQ(hits[1].created, "29-02-2004 ");
  EXPECT_EQ(hits[1].modified, "29-02-2004 13:45:58");
  for (std::size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i].record, i);
    EXPECT_EQ(hits[i].id, store_.Files()[i].key);
  }
}

TEST_F(FatSearchTest, AStopEndsTheWalkAtTheNextRecord) {
  ScanControl control;
  std::vector<SearchHit> hits;
  const std::size_t count = SearchFiles(store_, *tree_, u"*", control, [&](SearchHit hit) {
    hits.push_back(hit);
    if (hits.size() == 2) control.RequestStop();
  });
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Names(hits), (std::vector<std::u16string>{u"README", u"Report.TXT"}));

  ScanControl stopped;
  stopped.RequestStop();
  EXPECT_EQ(SearchFiles(store_, *tree_, u"*", stopped, [](SearchHit) { FAIL() << "nothing is walked"; }), 0u);
}

TEST(NtfsSearchTest, HitsAreKnownByTheirRecordSectorAndShowTheirTimes) {
  RecoveryStore store;
  store.AddFolder({.name = u"Users", .id = 40, .parentId = kNtfsRootId});
  store.AddFolder({.name = u"Users", .id = 40, .parentId = kNtfsRootId});  // NTFS ids may repeat
  store.AddFolder({.name = u"Pictures", .id = 41, .parentId = 40});
  // 2015-03-04 05:06:07 UTC as a FILETIME.
  constexpr std::uint64_t kTime = (1425445567ull + 11644473600ull) * 10000000ull;
  store.AddFile({.name = u"$MFT",
                 .parentId = kNtfsRootId,
                 .times = ItemTimes::FileTimes(kTime, kTime, 0),
                 .size = 1u << 20,
                 .key = 6000,
                 .locator = 6000});
  store.AddFile({.name = u"Cat.jpg",
                 .id = 64,
                 .parentId = 41,
                 .times = ItemTimes::FileTimes(kTime, 0, 0),
                 .size = 42,
                 .deleted = true,
                 .key = 6128,
                 .locator = 6128});
  const ResultTree tree = ResultTree::Build(store, FsFamily::kNtfs);
  const auto hits = Search(store, tree, u"CAT");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 6128u);
  EXPECT_EQ(hits[0].record, 1u);
  EXPECT_EQ(hits[0].folder, u"Root/Users/Pictures");
  EXPECT_TRUE(hits[0].deleted);
  EXPECT_EQ(hits[0].created, "04-03-2015 05:06:07");
  EXPECT_EQ(Search(store, tree, u"*")[0].folder, u"Root");
}

}  // namespace
}  // namespace dravik
