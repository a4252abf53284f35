// Name patterns, the filter list, and Find Files over hand-made stores: what is found in what order, the folder
// each is shown in, its keys, a stop mid-walk.

#include <gtest/gtest.h>

#include "MemoryFatVolume.h"
#include "fs/FileSearch.h"
#include "fs/NameMatch.h"
#include "util/Utf.h"
#include "util/ScanControl.h"

namespace dravik {
namespace {

TEST(MatchNameTest, Patterns) {
  const struct { const char16_t *name, *pattern; bool match; } rows[] = {
      // Empty names and patterns never match; "*.*" needs a dot.
      {u"", u"*", false}, {u"", u"a", false}, {u"a.txt", u"", false}, {u"no dot here", u"*", true},
      {u"a.txt", u"*.*", true}, {u".profile", u"*.*", true}, {u"makefile", u"*.*", false},
      // Without wildcards a name containing the pattern matches; callers fold case.
      {u"annual report.txt", u"report", true}, {u"report", u"report", true}, {u"x.txt", u".txt", true},
      {u"annual report.txt", u"reports", false}, {u"rep", u"report", false}, {u"Report", u"report", false},
      // "?" without a star walks from the start until the pattern is used up.
      {u"abc", u"a?c", true}, {u"abcdef", u"a?c", true}, {u"xabc", u"a?c", false}, {u"ab", u"a?c", false},
      {u"ab", u"ab?", false}, {u"ab", u"??", true},
      // A star skips to the first occurrence of the next character, never a later one.
      {u"report.txt", u"*.txt", true}, {u"report.txt.bak", u"*.txt", true}, {u"report.txt", u"r*t", true},
      {u"report.txt", u"rep*", true}, {u"report.txt", u"*o*t*", true}, {u"ab", u"ab*", true}, {u"ab", u"abc*", false},
      {u"my.file.txt", u"*.txt", false}, {u"aab", u"*ab", false}, {u"xab", u"*ab", true},
      {u"abc", u"*?c", true}, {u"c", u"*?c", false}, {u"a1b2", u"a*?2", true}, {u"report.txt", u"x*", false},
      {u"report.txt", u"*z", false}, {u"a", u"a***", true},
  };
  for (const auto& row : rows)
    EXPECT_EQ(MatchName(row.name, row.pattern), row.match) << ToUtf8(row.name) << " ~ " << ToUtf8(row.pattern);
}

TEST(FilterListTest, AcceptsByAnyPatternWithoutRegardToCaseWithinItsLimits) {
  FilterList filter;
  EXPECT_TRUE(filter.Accepts(u"anything")) << "an empty list accepts every name";
  ASSERT_EQ(filter.Add(u"*.TXT"), FilterList::AddResult::kAdded);
  ASSERT_EQ(filter.Add(u"café"), FilterList::AddResult::kAdded);
  for (const char16_t* name : {u"notes.txt", u"NOTES.TXT", u"CAFÉ.BIN", u"Мой.Txt"}) EXPECT_TRUE(filter.Accepts(name));
  EXPECT_FALSE(filter.Accepts(u"notes.bin"));
  EXPECT_EQ(ToLower(u"ÀÉÖ ΣΩ ДЯ Ёж ABC"), u"àéö σω дя ёж abc");
  // Length, count and duplicate limits.
  using R = FilterList::AddResult;
  filter = FilterList();
  EXPECT_EQ(filter.Add(u""), R::kBlank);
  EXPECT_EQ(filter.Add(std::u16string(19, u'a')), R::kAdded);
  EXPECT_EQ(filter.Add(std::u16string(20, u'b')), R::kTooLong);
  EXPECT_EQ(filter.Add(std::u16string(19, u'a')), R::kDuplicate);
  for (int i = 2; i <= 99; ++i) ASSERT_EQ(filter.Add(u"p" + FromUtf8(std::to_string(i))), R::kAdded) << i;
  EXPECT_TRUE(filter.Add(u"one more") == R::kFull && filter.Patterns().size() == 99u);
  filter.Remove(0);
  EXPECT_EQ(filter.Add(u"one more"), R::kAdded);
  filter.Remove(500);  // past the end: nothing happens
  EXPECT_EQ(filter.Patterns().size(), 99u);
  for (const R refused : {R::kBlank, R::kTooLong, R::kFull, R::kDuplicate}) EXPECT_STRNE(FilterList::Message(refused), "");
  EXPECT_STREQ(FilterList::Message(R::kAdded), "");
}

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

// Root > Docs (10) > deleted Old (11); files README and Photo.JPG in the root, Report.TXT and notes.txt in Docs,
// deleted "old report.doc" in Old, stray.txt in a folder (99) never found.
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
      {u"REPORT", {u"Report.TXT", u"old report.doc"}}, {u"*.jpg", {u"Photo.JPG"}}, {u"?ote", {u"notes.txt"}},
      {u"", {}}};
  for (const auto& [pattern, names] : rows) EXPECT_EQ(NamesOf(Search(store_, *tree_, pattern)), names);
}

TEST_F(FatSearchTest, EachHitCarriesItsFolderTimesAndKeysAndAStopEndsTheWalkAtTheNextRecord) {
  const auto hits = Search(store_, *tree_, u"*");
  ASSERT_EQ(hits.size(), 6u);
  EXPECT_EQ((Names{hits[0].folder, hits[1].folder, hits[2].folder, hits[5].folder}),
            (Names{u"Root", u"Root/Docs", u"Root/Docs/Old", u""})) << "the last folder is not in the tree";
  EXPECT_TRUE(hits[2].deleted && !hits[1].deleted && hits[3].size == 123456u);
  EXPECT_EQ(hits[1].created + "/" + hits[1].modified, "29-02-2004 /29-02-2004 13:45:58");
  for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_TRUE(hits[i].record == i && hits[i].id == store_.Files()[i].key);
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
  EXPECT_TRUE(hits[0].id == 6128u && hits[0].record == 1u && hits[0].deleted);
  EXPECT_EQ(hits[0].folder, u"Root/Users/Pictures");
  EXPECT_EQ(hits[0].created, "04-03-2015 05:06:07");
  EXPECT_EQ(Search(store, tree, u"*")[0].folder, u"Root");
}

}  // namespace
}  // namespace dravik
