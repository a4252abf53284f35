// The result tree over a hand-made store: its nodes, the check states as checks and clicks move them, a folder's
// rows, renames, times shown (properties: gui/ResultViewsTest); Find Files over it and over an NTFS store: what is
// found in what order, the folder each is shown in, its keys, a stop mid-walk; name patterns and the filter list.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "FatFixtures.h"
#include "fs/FileSearch.h"
#include "fs/NameMatch.h"
#include "fs/ResultTree.h"
#include "fs/TimeText.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik {
namespace {

constexpr std::uint16_t kTimeOfDay = (13 << 11) | (45 << 5) | 29;  // 13:45:58
using test::FatDate;
using Keys = std::unordered_set<std::uint64_t>;

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

// Root: folders A (10) > A1 (11) > A1x (13), A > A2 (12), B (20), deleted Gone (30); files (by key) 0 notes.txt, 3
// README, 4 deleted x.txt in the root, 1 a.txt in A, 2 "A1 data" in A1, 5 deleted "old Report.doc" in Gone, 6
// stray.txt in a folder (99) never found.
class ResultTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, id, parent] : {std::tuple{u"A", 10, 0}, {u"B", 20, 0}, {u"A1", 11, 10}, {u"A2", 12, 10},
                                           {u"Gone", 30, 0}, {u"A1x", 13, 11}})
      store_.AddFolderOnce({.name = name, .id = std::uint32_t(id), .parentId = std::uint32_t(parent),
                            .times = ItemTimes::Dos(FatDate(2001, 2, 3), 0, FatDate(2002, 3, 4)), .deleted = id == 30});
    for (const auto& [name, parent, size] : {std::tuple{u"notes.txt", 0, 1500}, {u"a.txt", 10, 10},
                                             {u"A1 data", 11, 20}, {u"README", 0, 0}, {u"x.txt", 0, 7},
                                             {u"old Report.doc", 30, 70}, {u"stray.txt", 99, 1}}) {
      const auto key = static_cast<std::uint32_t>(store_.Files().size());
      store_.AddFile({.name = name, .parentId = std::uint32_t(parent),
                      .times = ItemTimes::Dos(FatDate(2004, 2, 29), kTimeOfDay, FatDate(1999, 12, 31)),
                      .size = std::uint32_t(size), .deleted = key == 4 || key == 5, .key = key, .locator = 100 + key});
    }
    tree_ = std::make_unique<ResultTree>(ResultTree::Build(store_, FsFamily::kFat));
  }
  std::size_t N(const std::string& path) const {
    if (path == "/") return ResultTree::kRoot;
    const auto node = tree_->FindFolder(FromUtf8(path));
    if (!node) throw std::runtime_error("no folder " + path);
    return *node;
  }
  // The states of Root, A, A1, A1x, A2, B, Gone: + checked, - unchecked, ~ partial.
  std::string States() const {
    std::string marks;
    for (const char* path : {"/", "A", "A/A1", "A/A1/A1x", "A/A2", "B", "Gone"})
      marks += "?-+~"[static_cast<int>(tree_->Node(N(path)).state)];
    return marks;
  }
  // Steps separated by blanks, on folders named by path ("/" the root): +P or -P checks or unchecks, *P clicks the
  // folder, #P its check box, P:K file K's box in it, fK+ or fK- checks file K on its own; =MARKS expects States().
  void Run(const std::string& script) {
    std::istringstream steps(script);
    for (std::string step; steps >> step;) {
      SCOPED_TRACE(step);
      const std::string rest = step.substr(1);
      if (step[0] == '=') EXPECT_EQ(States(), rest);
      else if (step[0] == 'f') tree_->CheckFile(std::stoul(rest), step.back() == '+');
      else if (const auto colon = step.find(':'); colon != std::string::npos)
        tree_->ClickFile(N(step.substr(0, colon)), std::stoul(step.substr(colon + 1)));
      else if (step[0] == '+' || step[0] == '-') tree_->SetCheck(N(rest), step[0] == '+');
      else if (step[0] == '*') tree_->ClickFolder(N(rest));
      else if (step[0] == '#') tree_->ClickFolderBox(N(rest));
      else FAIL() << "unknown step";
    }
  }
  std::vector<std::string> Summary(const std::vector<ListRow>& rows) const {
    std::vector<std::string> lines;
    for (const ListRow& row : rows)
      lines.push_back("PDF"[static_cast<int>(row.kind)] + std::string(row.deleted ? " x " : " ") + ToUtf8(row.name) +
                      (row.size ? " " + std::to_string(*row.size) : ""));
    return lines;
  }
  RecoveryStore store_;
  std::unique_ptr<ResultTree> tree_;
};

TEST_F(ResultTreeTest, BuildMakesOneCheckedNodePerFolderInDiscoveryOrder) {
  const auto labels = [&](const std::string& path) {
    std::vector<std::u16string> names;
    for (const std::size_t child : tree_->Node(N(path)).children) names.push_back(tree_->Node(child).label);
    return names;
  };
  ASSERT_EQ(tree_->Nodes().size(), 1 + store_.Folders().size());
  EXPECT_TRUE(tree_->Node(ResultTree::kRoot).label == u"Root" && States() == "+++++++");
  EXPECT_EQ(labels("/"), (std::vector<std::u16string>{u"A", u"B", u"Gone"}));
  EXPECT_EQ(labels("A"), (std::vector<std::u16string>{u"A1", u"A2"}));
  EXPECT_EQ(labels("A/A1"), (std::vector<std::u16string>{u"A1x"}));
  EXPECT_TRUE(tree_->Node(N("Gone")).deleted);
  EXPECT_EQ(tree_->PathOf(N("A/A1/A1x"), u'\\'), u"A\\A1\\A1x");
  for (std::size_t i = 0; i < store_.Folders().size(); ++i) {
    const TreeNode& node = tree_->Node(store_.Folders()[i].treeItem);
    EXPECT_TRUE(node.label == store_.Folders()[i].name && node.folderId == store_.Folders()[i].id && node.folder == i);
  }
}

// A folder is settled by its child folders and its own files checked one by one.
TEST_F(ResultTreeTest, CheckingUncheckingAndClickingSettleTheAncestors) {
  const std::pair<const char*, const char*> rows[] = {
      {"unchecking", "-A/A1/A1x =~~--+++ +/ f2+ -A/A1/A1x =~~~-+++ +/ -A =~----++"},
      {"the last checked child", "-/ =------- +A/A1/A1x =~~~+--- -A/A1/A1x =------- f1+ +A/A1/A1x -A/A1/A1x =~~-----"},
      {"checking", "-/ +A/A1/A1x =~~~+--- f2+ +A/A1/A1x =~~++--- +A/A2 =~~+++-- f1+ +A/A2 =~++++-- +B +Gone =~++++++"
                   " f0+ +Gone =+++++++"},
      {"click checks", "-/ *A =~++++-- -A/A2 =~~++--- *A =~++++-- */ =+++++++"},
      {"click on the checked root", "f0+ */ =------- */ =+++++++"},
      {"click unchecks", "*A/A1 =++--+++ -/ +A/A1/A1x =~~~+--- *A/A1 =------- *B =~----+- *B =-------"
                         " +/ -B -Gone -A/A2 =~~++--- *A/A1 =-------"},
  };
  for (const auto& [name, script] : rows) {
    SCOPED_TRACE(name);
    tree_ = std::make_unique<ResultTree>(ResultTree::Build(store_, FsFamily::kFat));
    Run(script);
  }
}

// Files follow their folder, are let go when it decides for them, never checked twice (folder and own): saved twice.
TEST_F(ResultTreeTest, FileRowsFollowTheirFolderAndAreNeverCheckedTwice) {
  tree_->CheckEverything();
  EXPECT_EQ(tree_->CheckedFolders().size(), 6u);
  const std::size_t a = N("A");
  EXPECT_EQ(tree_->CheckedFiles(), (Keys{0, 3, 4})) << "the others come with their folders";
  EXPECT_TRUE(tree_->FileShownChecked(a, 1) && tree_->FileShownChecked(ResultTree::kRoot, 0));
  Run("A:1 =~~+++++");
  EXPECT_FALSE(tree_->FileShownChecked(a, 1));
  const auto folders = tree_->CheckedFolders();
  EXPECT_EQ(std::count(folders.begin(), folders.end(), a), 0);
  Run("A:1 =+++++++");
  EXPECT_TRUE(tree_->FileShownChecked(a, 1));
  EXPECT_FALSE(tree_->FileChecked(1));
  Run("A:1 A:1 #A =+----++");
  EXPECT_FALSE(tree_->FileShownChecked(a, 1) || tree_->FileShownChecked(N("A/A1"), 2));
  Run("A/A1:2 =~~~--++ A/A1:2 =~----++ #/ =+++++++");
  EXPECT_EQ(tree_->CheckedFiles(), (Keys{0, 3, 4}));
  Run("#/ =-------");
  EXPECT_TRUE(tree_->CheckedFiles().empty() && tree_->CheckedFolders().empty());
}

TEST_F(ResultTreeTest, FolderRows) {
  const FilterList none;
  const auto root = tree_->ShowFolder(kFatRootId, none);
  EXPECT_EQ(Summary(root), (std::vector<std::string>{"D A", "D B", "D x Gone", "F notes.txt 1500", "F README 0",
                                                      "F x x.txt 7"}));
  EXPECT_TRUE(root[0].id == N("A") && root[3].id == 0u && root[0].created == "03-02-2001 ");
  EXPECT_EQ(root[3].created + "/" + root[3].modified, "29-02-2004 /29-02-2004 13:45:58");
  ASSERT_TRUE(root[3].modifiedAt && !root[3].createdAt);
  EXPECT_EQ(IsoUtcText(*root[3].modifiedAt), "2004-02-29T13:45:58Z");
  EXPECT_EQ(Summary(tree_->ShowFolder(10, none)),
            (std::vector<std::string>{"P Parent...", "D A1", "D A2", "F a.txt 10"}));
  FilterList txt;
  ASSERT_EQ(txt.Add(u"*.TXT"), FilterList::AddResult::kAdded);
  EXPECT_EQ(Summary(tree_->ShowFolder(kFatRootId, txt)),
            (std::vector<std::string>{"D A", "D B", "D x Gone", "F notes.txt 1500", "F x x.txt 7"}))
      << "the filter applies to files only";
  EXPECT_EQ(tree_->FilesOf(kFatRootId), (std::vector<std::uint64_t>{0, 3, 4}));
}

TEST_F(ResultTreeTest, RenameReachesTheRowsTheTreeAndTheStore) {
  const FilterList none;
  auto root = tree_->ShowFolder(kFatRootId, none);
  EXPECT_FALSE(tree_->Rename(store_, root[3], u"")) << "an empty name keeps the old one";
  EXPECT_TRUE(tree_->Rename(store_, root[3], u"renamed.doc") && tree_->Rename(store_, root[0], u"Alpha"));
  root = tree_->ShowFolder(kFatRootId, none);
  EXPECT_EQ(root[0].name + u"|" + root[3].name + u"|" + store_.Files()[0].name, u"Alpha|renamed.doc|renamed.doc");
  EXPECT_EQ(root[3].type, FileTypeText(u"renamed.doc", false));
  EXPECT_EQ(tree_->PathOf(N("Alpha/A1")), u"Alpha/A1") << "the sub-folders follow the renamed node";
  EXPECT_FALSE(tree_->FindFolder(u"A"));
  const auto inA = tree_->ShowFolder(10, none);
  EXPECT_FALSE(tree_->Rename(store_, inA[0], u"x")) << "the Parent... row has no item to rename";
  RecoveryStore other;
  EXPECT_FALSE(tree_->Rename(other, inA[1], u"x")) << "only the store the tree was built from";
}

TEST_F(ResultTreeTest, SearchFindsRecordsInStoreOrderWithoutRegardToCase) {
  const std::pair<const char16_t*, Names> rows[] = {
      {u"*", {u"notes.txt", u"a.txt", u"A1 data", u"README", u"x.txt", u"old Report.doc", u"stray.txt"}},
      {u"REPORT", {u"old Report.doc"}}, {u"*.TXT", {u"notes.txt", u"a.txt", u"x.txt", u"stray.txt"}},
      {u"?ote", {u"notes.txt"}}, {u"", {}}};
  for (const auto& [pattern, names] : rows) EXPECT_EQ(NamesOf(Search(store_, *tree_, pattern)), names);
}

TEST_F(ResultTreeTest, EachHitCarriesItsFolderTimesAndKeysAndAStopEndsTheWalkAtTheNextRecord) {
  const auto hits = Search(store_, *tree_, u"*");
  ASSERT_EQ(hits.size(), 7u);
  EXPECT_EQ((Names{hits[0].folder, hits[1].folder, hits[2].folder, hits[5].folder, hits[6].folder}),
            (Names{u"Root", u"Root/A", u"Root/A/A1", u"Root/Gone", u""})) << "the last folder is not in the tree";
  EXPECT_TRUE(hits[5].deleted && !hits[1].deleted && hits[0].size == 1500u);
  EXPECT_EQ(hits[1].created + "/" + hits[1].modified, "29-02-2004 /29-02-2004 13:45:58");
  for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_TRUE(hits[i].record == i && hits[i].id == store_.Files()[i].key);
  EXPECT_EQ(NamesOf(Search(store_, *tree_, u"*", 2)), (Names{u"notes.txt", u"a.txt"}));
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

// Other moments' texts are those of the rows and of search hits.
TEST(TimeTextTest, StoredTimesOnTheCalendar) {
  EXPECT_EQ(NtfsTimeText(0), "01-01-1601 00:00:00");
  const std::tuple<const char*, std::optional<UnixTime>, const char*> rows[] = {
      {"the last FAT moment", UnixTimeFromFatDateTime(FatDate(2107, 12, 31), (23 << 11) | (59 << 5) | 29),
       "2107-12-31T23:59:58Z"},
      {"hour 24 is out of range", UnixTimeFromFatDateTime(FatDate(2000, 3, 1), 24 << 11), "2000-03-01T00:00:00Z"},
      {"no date", UnixTimeFromFatDateTime(0, kTimeOfDay), nullptr},
      {"month 13", UnixTimeFromFatDateTime(FatDate(2001, 13, 1), 0), nullptr},
      {"FILETIME 0 is not recorded", UnixTimeFromFileTime(0), nullptr},
      {"1970", UnixTimeFromFileTime(116444736000000000ULL), "1970-01-01T00:00:00Z"},
      {"1601", UnixTimeFromFileTime(1), "1601-01-01T00:00:00Z"},
  };
  for (const auto& [name, time, iso] : rows) EXPECT_EQ(time ? IsoUtcText(*time) : "", iso ? iso : "") << name;
}

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
  for (const R refused : {R::kBlank, R::kTooLong, R::kFull, R::kDuplicate})
    EXPECT_STRNE(FilterList::Message(refused), "");
  EXPECT_STREQ(FilterList::Message(R::kAdded), "");
}

}  // namespace
}  // namespace dravik
