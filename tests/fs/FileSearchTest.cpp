// Find Files over hand-made stores: which records are found and in what
// order, the folder each is shown in, the keys a save finds them by, and a
// stop in the middle of the walk.

#include <gtest/gtest.h>

#include "MemoryFatVolume.h"
#include "fs/FileSearch.h"
#include "util/ScanControl.h"

namespace dravik {
namespace {

using Names = std::vector<std::u16string>;

std::vector<SearchHit> Search(const RecoveryStore& store, const ResultTree& tree, std::u16string_view pattern,
                              std::size_t stopAfter = 0) {
  ScanControl control;
  std::vector<SearchHit> hits;
  const std::size_t count = SearchFiles(store, tree, pattern, control, [&](SearchHit hit) {
    hits.push_back(hit);
    if (hits.size() == stopAfter) control.RequestStop();
  });
  EXPECT_EQ(count, hits.size());
  return hits;
}

Names NamesOf(const std::vector<SearchHit>& hits) {
  Names names;
  for (const SearchHit& hit : hits) names.push_back(hit.name);
  return names;
}

// Root > Docs (10) > deleted Old (11); files README and Photo.JPG in the
// root, Report.TXT and notes.txt in Docs, deleted "old report.doc" in Old,
// stray.txt in a folder (99) never found.
class FatSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ItemTimes times = ItemTimes::Dos(test::FatDate(2004, 2, 29), (13 << 11) | (45 << 5) | 29, 0);
    store_.AddFolderOnce({.name = u"Docs", .id = 10, .parentId = 0, .times = times});
    store_.AddFolderOnce({.name = u"Old", .id = 11, .parentId = 10, .times = times, .deleted = true});
    for (const auto& [name, parent, size] : {std::tuple{u"README", 0, 5}, {u"Report.TXT", 10, 3000},
                                             {u"old report.doc", 11, 70}, {u"Photo.JPG", 0, 123456},
                                             {u"notes.txt", 10, 12}, {u"stray.txt", 99, 1}}) {
      const auto key = static_cast<std::uint32_t>(store_.Files().size());
      store_.AddFile({.name = name, .parentId = std::uint32_t(parent), .times = times, .size = std::uint32_t(size),
                      .deleted = key == 2, .key = key, .locator = 100 + key});
    }
    tree_.emplace(ResultTree::Build(store_, FsFamily::kFat));
  }

  RecoveryStore store_;
  std::optional<ResultTree> tree_;
};

TEST_F(FatSearchTest, PatternsFindRecordsInStoreOrderWithoutRegardToCase) {
  const std::pair<const char16_t*, Names> rows[] = {
      {u"*", {u"README", u"Report.TXT", u"old report.doc", u"Photo.JPG", u"notes.txt", u"stray.txt"}},
      {u"REPORT", {u"Report.TXT", u"old report.doc"}},
      {u"*.jpg", {u"Photo.JPG"}},
      {u"?ote", {u"notes.txt"}},
      {u"", {}},
  };
  for (const auto& [pattern, names] : rows) EXPECT_EQ(NamesOf(Search(store_, *tree_, pattern)), names);
}

TEST_F(FatSearchTest, EachHitCarriesItsFolderTimesAndTheKeysOfItsRecord) {
  const auto hits = Search(store_, *tree_, u"*");
  ASSERT_EQ(hits.size(), 6u);
  EXPECT_EQ((Names{hits[0].folder, hits[1].folder, hits[2].folder, hits[5].folder}),
            (Names{u"Root", u"Root/Docs", u"Root/Docs/Old", u""})) << "the last folder is not in the tree";
  EXPECT_TRUE(hits[2].deleted && !hits[1].deleted);
  EXPECT_EQ(hits[3].size, 123456u);
  EXPECT_EQ(hits[1].created + "/" + hits[1].modified, "29-02-2004 /29-02-2004 13:45:58");
  for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_TRUE(hits[i].record == i && hits[i].id == store_.Files()[i].key);
}

TEST_F(FatSearchTest, AStopEndsTheWalkAtTheNextRecord) {
  EXPECT_EQ(NamesOf(Search(store_, *tree_, u"*", 2)), (Names{u"README", u"Report.TXT"}));
  ScanControl stopped;
  stopped.RequestStop();
  EXPECT_EQ(SearchFiles(store_, *tree_, u"*", stopped, [](SearchHit) { FAIL() << "nothing is walked"; }), 0u);
}

TEST(NtfsSearchTest, HitsAreKnownByTheirRecordSectorAndShowTheirTimes) {
  RecoveryStore store;
  store.AddFolder({.name = u"Users", .id = 40, .parentId = kNtfsRootId});
  store.AddFolder({.name = u"Users", .id = 40, .parentId = kNtfsRootId});  // NTFS ids may repeat
  store.AddFolder({.name = u"Pictures", .id = 41, .parentId = 40});
  constexpr std::uint64_t kTime = (1425445567ull + 11644473600ull) * 10000000ull;  // 2015-03-04 05:06:07 UTC
  store.AddFile({.name = u"$MFT", .parentId = kNtfsRootId, .times = ItemTimes::FileTimes(kTime, kTime, 0),
                 .size = 1u << 20, .key = 6000, .locator = 6000});
  store.AddFile({.name = u"Cat.jpg", .id = 64, .parentId = 41, .times = ItemTimes::FileTimes(kTime, 0, 0), .size = 42,
                 .deleted = true, .key = 6128, .locator = 6128});
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
