// The result tree over a hand-made store: its nodes, the three check states
// as checking, unchecking and clicking move them, and the rows of a folder.

#include <gtest/gtest.h>

#include <algorithm>

#include "MemoryFatVolume.h"
#include "fs/ItemProperties.h"
#include "fs/ResultTree.h"
#include "fs/TimeText.h"

namespace dravik {
namespace {

// 13:45:58 as a FAT time of day.
constexpr std::uint16_t kTimeOfDay = (13 << 11) | (45 << 5) | 29;

using test::FatDate;
constexpr auto kOn = CheckState::kChecked;
constexpr auto kOff = CheckState::kUnchecked;
constexpr auto kPart = CheckState::kPartial;

// Root
//   A (10)          file a.txt (serial 1)
//     A1 (11)       file A1 data (serial 2)
//       A1x (13)
//     A2 (12)
//   B (20)
//   Gone (30, deleted)
//   root files: notes.txt (serial 0), README (serial 3), deleted x.txt (serial 4)
class ResultTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto folder = [&](std::u16string name, std::uint32_t id, std::uint32_t parent, bool deleted = false) {
      store_.AddFolderOnce({.name = std::move(name),
                            .id = id,
                            .parentId = parent,
                            .times = ItemTimes::Dos(FatDate(2001, 2, 3), 0, FatDate(2002, 3, 4)),
                            .deleted = deleted});
    };
    folder(u"A", 10, 0);
    folder(u"B", 20, 0);
    folder(u"A1", 11, 10);
    folder(u"A2", 12, 10);
    folder(u"Gone", 30, 0, true);
    folder(u"A1x", 13, 11);
    const auto file = [&](std::u16string name, std::uint32_t parent, std::uint32_t size, bool deleted = false) {
      const auto serial = static_cast<std::uint32_t>(store_.Files().size());
      store_.AddFile({.name = std::move(name),
                      .parentId = parent,
                      .times = ItemTimes::Dos(FatDate(2004, 2, 29), kTimeOfDay, FatDate(1999, 12, 31)),
                      .size = size,
                      .deleted = deleted,
                      .key = serial,
                      .locator = 100 + serial});
    };
    file(u"notes.txt", 0, 1500);
    file(u"a.txt", 10, 10);
    file(u"A1 data", 11, 20);
    file(u"README", 0, 0);
    file(u"x.txt", 0, 7, true);
    tree_ = std::make_unique<ResultTree>(ResultTree::Build(store_, FsFamily::kFat));
  }

  std::size_t N(const std::u16string& path) const {
    const auto node = tree_->FindFolder(path);
    if (!node) throw std::runtime_error("no folder node");
    return *node;
  }
  CheckState S(const std::u16string& path) const { return tree_->Node(path.empty() ? 0 : N(path)).state; }
  // States of Root, A, A1, A1x, A2, B, Gone.
  std::vector<CheckState> All() const {
    return {S(u""), S(u"A"), S(u"A/A1"), S(u"A/A1/A1x"), S(u"A/A2"), S(u"B"), S(u"Gone")};
  }

  RecoveryStore store_;
  std::unique_ptr<ResultTree> tree_;
};

TEST_F(ResultTreeTest, BuildMakesOneCheckedNodePerFolderInDiscoveryOrder) {
  const auto& nodes = tree_->Nodes();
  ASSERT_EQ(nodes.size(), 1 + store_.Folders().size());
  EXPECT_EQ(nodes[ResultTree::kRoot].label, u"Root");
  for (const auto& node : nodes) EXPECT_EQ(node.state, kOn);

  const auto labels = [&](std::size_t node) {
    std::vector<std::u16string> names;
    for (const std::size_t child : tree_->Node(node).children) names.push_back(tree_->Node(child).label);
    return names;
  };
  EXPECT_EQ(labels(ResultTree::kRoot), (std::vector<std::u16string>{u"A", u"B", u"Gone"}));
  EXPECT_EQ(labels(N(u"A")), (std::vector<std::u16string>{u"A1", u"A2"}));
  EXPECT_EQ(labels(N(u"A/A1")), (std::vector<std::u16string>{u"A1x"}));
  EXPECT_TRUE(tree_->Node(N(u"Gone")).deleted);
  EXPECT_EQ(tree_->PathOf(N(u"A/A1/A1x")), u"A/A1/A1x");
  EXPECT_EQ(tree_->PathOf(N(u"A/A1/A1x"), u'\\'), u"A\\A1\\A1x");

  // Each folder record knows its node, and the node its record.
  for (std::size_t i = 0; i < store_.Folders().size(); ++i) {
    const auto& record = store_.Folders()[i];
    const TreeNode& node = tree_->Node(record.treeItem);
    EXPECT_EQ(node.label, record.name);
    EXPECT_EQ(node.folderId, record.id);
    ASSERT_TRUE(node.folder.has_value());
    EXPECT_EQ(*node.folder, i);
  }
}

TEST_F(ResultTreeTest, UncheckingSettlesTheAncestors) {
  tree_->SetCheck(N(u"A/A1/A1x"), false);
  // A1: its only child is unchecked and none of its files is checked.
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kPart, kOff, kOff, kOn, kOn, kOn}));

  // With one of A1's files checked on its own, A1 stays partial.
  tree_->SetCheck(ResultTree::kRoot, true);
  tree_->CheckFile(2, true);
  tree_->SetCheck(N(u"A/A1/A1x"), false);
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kPart, kPart, kOff, kOn, kOn, kOn}));

  // Unchecking a folder unchecks what is below it.
  tree_->SetCheck(ResultTree::kRoot, true);
  tree_->SetCheck(N(u"A"), false);
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kOff, kOff, kOff, kOff, kOn, kOn}));
}

TEST_F(ResultTreeTest, UncheckingTheLastCheckedChildClearsEveryAncestorLeftWithout) {
  tree_->SetCheck(ResultTree::kRoot, false);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));
  tree_->SetCheck(N(u"A/A1/A1x"), true);
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kPart, kPart, kOn, kOff, kOff, kOff}));
  tree_->SetCheck(N(u"A/A1/A1x"), false);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));

  // A checked file keeps its folder partial, and so the root above it.
  tree_->CheckFile(1, true);  // a.txt in A
  tree_->SetCheck(N(u"A/A1/A1x"), true);
  tree_->SetCheck(N(u"A/A1/A1x"), false);
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kPart, kOff, kOff, kOff, kOff, kOff}));
}

TEST_F(ResultTreeTest, CheckingSettlesTheAncestorsByChildrenAndOwnFiles) {
  tree_->SetCheck(ResultTree::kRoot, false);
  // A1's only child is checked, but A1 has a file of its own, unchecked.
  tree_->SetCheck(N(u"A/A1/A1x"), true);
  EXPECT_EQ(S(u"A/A1"), kPart);
  // With that file checked, A1 is checked; A is partial while A2 is not.
  tree_->CheckFile(2, true);
  tree_->SetCheck(N(u"A/A1/A1x"), true);
  EXPECT_EQ(S(u"A/A1"), kOn);
  EXPECT_EQ(S(u"A"), kPart);
  // All of A's children checked, its own file not: partial; then checked.
  tree_->SetCheck(N(u"A/A2"), true);
  EXPECT_EQ(S(u"A"), kPart);
  tree_->CheckFile(1, true);
  tree_->SetCheck(N(u"A/A2"), true);
  EXPECT_EQ(S(u"A"), kOn);
  // A folder without files of its own is checked with its children.
  EXPECT_EQ(S(u"A/A1/A1x"), kOn);
  // The root follows the same rule: its files are unchecked.
  tree_->SetCheck(N(u"B"), true);
  tree_->SetCheck(N(u"Gone"), true);
  EXPECT_EQ(S(u""), kPart);
  tree_->CheckFile(0, true);
  tree_->SetCheck(N(u"Gone"), true);
  EXPECT_EQ(S(u""), kOn);
}

TEST_F(ResultTreeTest, ClickChecksAnUncheckedFolderOrOneWithAChildNotChecked) {
  tree_->SetCheck(ResultTree::kRoot, false);
  tree_->ClickFolder(N(u"A"));
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kOn, kOn, kOn, kOn, kOff, kOff}));

  // A is partial with a child not checked: a click checks it all.
  tree_->SetCheck(N(u"A/A2"), false);
  ASSERT_EQ(S(u"A"), kPart);
  tree_->ClickFolder(N(u"A"));
  EXPECT_EQ(S(u"A/A2"), kOn);
  EXPECT_EQ(S(u"A/A1/A1x"), kOn);

  // The root, partial: everything checked.
  tree_->ClickFolder(ResultTree::kRoot);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOn));
}

TEST_F(ResultTreeTest, ClickUnchecksAFolderWhoseChildrenAreAllChecked) {
  // Everything is checked after the build. A click on A1 unchecks it and
  // its subtree; A still has A2 checked, so A and the root stay as they are.
  tree_->ClickFolder(N(u"A/A1"));
  EXPECT_EQ(All(), (std::vector<CheckState>{kOn, kOn, kOff, kOff, kOn, kOn, kOn}));

  // A partial folder whose child folders are all checked is unchecked too.
  tree_->SetCheck(ResultTree::kRoot, false);
  tree_->SetCheck(N(u"A/A1/A1x"), true);
  ASSERT_EQ(S(u"A/A1"), kPart);
  tree_->ClickFolder(N(u"A/A1"));
  // A1 and A1x are unchecked; A and the root have no child checked or partial left.
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));

  // B alone checked: clicking it unchecks it and then the root.
  tree_->ClickFolder(N(u"B"));
  EXPECT_EQ(All(), (std::vector<CheckState>{kPart, kOff, kOff, kOff, kOff, kOn, kOff}));
  tree_->ClickFolder(N(u"B"));
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));

  // Unchecking climbs until an ancestor still has a checked or partial child.
  tree_->SetCheck(ResultTree::kRoot, true);
  tree_->SetCheck(N(u"B"), false);
  tree_->SetCheck(N(u"Gone"), false);
  tree_->SetCheck(N(u"A/A2"), false);  // A: partial, root: partial
  ASSERT_EQ(S(u"A/A1"), kOn);
  tree_->ClickFolder(N(u"A/A1"));
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));
}

TEST_F(ResultTreeTest, ClickOnTheCheckedRootUnchecksEverything) {
  tree_->CheckFile(0, true);
  tree_->ClickFolder(ResultTree::kRoot);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));
  EXPECT_TRUE(tree_->CheckedFolders().empty());
  tree_->ClickFolder(ResultTree::kRoot);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOn));
  EXPECT_EQ(tree_->CheckedFolders().size(), 6u);
}

// The list's check boxes: files follow their folder, are let go when the
// folder decides for them, and are never checked twice (once by their
// folder, once on their own), which would save them twice.
TEST_F(ResultTreeTest, FileRowsFollowTheirFolderAndAreNeverCheckedTwice) {
  tree_->CheckEverything();
  const std::size_t a = N(u"A");
  // The root's own files are checked one by one; the others come with their folders.
  EXPECT_EQ(tree_->CheckedFiles(), (std::unordered_set<std::uint64_t>{0, 3, 4}));
  EXPECT_TRUE(tree_->FileShownChecked(a, 1));
  EXPECT_TRUE(tree_->FileShownChecked(ResultTree::kRoot, 0));

  // Unchecking a.txt in the checked A leaves A partial and a.txt alone out.
  tree_->ClickFile(a, 1);
  EXPECT_FALSE(tree_->FileShownChecked(a, 1));
  EXPECT_EQ(S(u"A"), kPart);
  EXPECT_EQ(S(u""), kPart);
  EXPECT_EQ(S(u"A/A1"), kOn);
  const auto folders = tree_->CheckedFolders();
  EXPECT_EQ(std::count(folders.begin(), folders.end(), a), 0);
  // Checking it again: A is whole again, and a.txt is not also checked on its own.
  tree_->ClickFile(a, 1);
  EXPECT_TRUE(tree_->FileShownChecked(a, 1));
  EXPECT_EQ(S(u"A"), kOn);
  EXPECT_FALSE(tree_->FileChecked(1));

  // Clicking a folder decides for its files: unchecked A brings none.
  tree_->ClickFile(a, 1);
  tree_->ClickFile(a, 1);
  tree_->ClickFolderBox(a);
  EXPECT_EQ(S(u"A"), kOff);
  EXPECT_FALSE(tree_->FileShownChecked(a, 1));
  EXPECT_FALSE(tree_->FileShownChecked(N(u"A/A1"), 2));

  // A file checked in an unchecked folder makes it, and its ancestors, partial;
  // unchecking it again clears them.
  tree_->ClickFile(N(u"A/A1"), 2);
  EXPECT_EQ(S(u"A/A1"), kPart);
  EXPECT_EQ(S(u"A"), kPart);
  tree_->ClickFile(N(u"A/A1"), 2);
  EXPECT_EQ(S(u"A/A1"), kOff);
  EXPECT_EQ(S(u"A"), kOff);

  // The root's click: a partial root checks everything, its own files too;
  // the next click unchecks everything.
  tree_->ClickFolderBox(ResultTree::kRoot);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOn));
  EXPECT_EQ(tree_->CheckedFiles(), (std::unordered_set<std::uint64_t>{0, 3, 4}));
  tree_->ClickFolderBox(ResultTree::kRoot);
  EXPECT_EQ(All(), std::vector<CheckState>(7, kOff));
  EXPECT_TRUE(tree_->CheckedFiles().empty());
}

TEST_F(ResultTreeTest, FolderRows) {
  const FilterList none;
  const auto root = tree_->ShowFolder(kFatRootId, none);
  ASSERT_EQ(root.size(), 6u);
  EXPECT_EQ(root[0].kind, ListRow::Kind::kFolder) << "the root has no Parent row";
  EXPECT_EQ(root[0].name, u"A");
  EXPECT_EQ(root[0].type, "Folder");
  EXPECT_EQ(root[0].id, N(u"A"));
  EXPECT_EQ(root[1].name, u"B");
  EXPECT_EQ(root[2].name, u"Gone");
  EXPECT_EQ(root[2].type, "Deleted Folder");
  EXPECT_TRUE(root[2].deleted);
  EXPECT_EQ(root[3].kind, ListRow::Kind::kFile);
  EXPECT_EQ(root[3].name, u"notes.txt");
  EXPECT_EQ(root[3].type, "TXT File");
  EXPECT_EQ(root[3].size, 1500u);
  EXPECT_EQ(root[3].created, "29-02-2004 ");
  EXPECT_EQ(root[3].modified, "29-02-2004 13:45:58");
  ASSERT_TRUE(root[3].modifiedAt);
  EXPECT_EQ(IsoUtcText(*root[3].modifiedAt), "2004-02-29T13:45:58Z");
  EXPECT_FALSE(root[3].createdAt);
  EXPECT_EQ(root[3].id, 0u);
  EXPECT_EQ(root[4].name, u"README");
  EXPECT_EQ(root[4].type, "File");
  EXPECT_EQ(root[4].size, 0u);
  EXPECT_EQ(root[5].type, "Deleted TXT File");
  EXPECT_TRUE(root[5].deleted);
  EXPECT_EQ(root[0].created, "03-02-2001 ");

  const auto a = tree_->ShowFolder(10, none);
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[0].kind, ListRow::Kind::kParent);
  EXPECT_EQ(a[0].name, u"Parent...");
  EXPECT_EQ(a[1].name, u"A1");
  EXPECT_EQ(a[2].name, u"A2");
  EXPECT_EQ(a[3].name, u"a.txt");

  // The filter applies to files, never to folders.
  FilterList txt;
  ASSERT_EQ(txt.Add(u"*.TXT"), FilterList::AddResult::kAdded);
  const auto filtered = tree_->ShowFolder(kFatRootId, txt);
  std::vector<std::u16string> names;
  for (const auto& row : filtered) names.push_back(row.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"B", u"Gone", u"notes.txt", u"x.txt"}));
  EXPECT_EQ(tree_->FilesOf(kFatRootId), (std::vector<std::uint64_t>{0, 3, 4}));
}

TEST_F(ResultTreeTest, RenameReachesTheRowsTheTreeAndTheStore) {
  const FilterList none;
  auto root = tree_->ShowFolder(kFatRootId, none);
  EXPECT_FALSE(tree_->Rename(store_, root[3], u"")) << "an empty name keeps the old one";
  EXPECT_TRUE(tree_->Rename(store_, root[3], u"renamed.doc"));
  EXPECT_TRUE(tree_->Rename(store_, root[0], u"Alpha"));
  root = tree_->ShowFolder(kFatRootId, none);
  EXPECT_EQ(root[0].name, u"Alpha");
  EXPECT_EQ(root[3].name, u"renamed.doc");
  EXPECT_EQ(root[3].type, "DOC File");
  EXPECT_EQ(store_.Files()[0].name, u"renamed.doc");
  EXPECT_EQ(tree_->FindFolder(u"Alpha/A1"), N(u"Alpha/A1")) << "the sub-folders follow the renamed node";
  EXPECT_FALSE(tree_->FindFolder(u"A"));
  EXPECT_EQ(tree_->PathOf(N(u"Alpha/A1")), u"Alpha/A1");

  const auto inA = tree_->ShowFolder(10, none);
  EXPECT_FALSE(tree_->Rename(store_, inA[0], u"x")) << "the Parent... row has no item to rename";
  RecoveryStore other;
  EXPECT_FALSE(tree_->Rename(other, inA[1], u"x")) << "only the store the tree was built from";
}

TEST_F(ResultTreeTest, PropertiesCountTheWholeSubtree) {
  const FilterList none;
  const auto root = tree_->ShowFolder(kFatRootId, none);
  const auto a = PropertiesOf(store_, *tree_, root[0]);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->name, u"A");
  EXPECT_EQ(a->contains, "2 File(s) and 3 Folder(s)") << "A1, A2 and A1x; a.txt and A1 data";
  EXPECT_EQ(a->size, "Less than 1 MB");
  EXPECT_EQ(a->created, root[0].created);
  const auto notes = PropertiesOf(store_, *tree_, root[3]);
  EXPECT_EQ(notes->size, "2 KB");
  EXPECT_EQ(notes->contains, "");
  EXPECT_EQ(notes->modified, "29-02-2004 13:45:58");
  EXPECT_EQ(PropertiesOf(store_, *tree_, root[4])->size, "1 KB") << "an empty file";
  EXPECT_FALSE(PropertiesOf(store_, *tree_, tree_->ShowFolder(10, none)[0]));

  EXPECT_EQ(FolderSizeText(1048575), "Less than 1 MB");
  EXPECT_EQ(FolderSizeText(1048576), "1 MB");
  EXPECT_EQ(FileSizeText(1023), "1 KB");
  EXPECT_EQ(FileSizeText(1024), "2 KB");
}

TEST(FileTypeTextTest, ExtensionInCapitalsOrPlainFile) {
  EXPECT_EQ(FileTypeText(u"report.txt", false), "TXT File");
  EXPECT_EQ(FileTypeText(u"archive.tar.gz", false), "GZ File");
  EXPECT_EQ(FileTypeText(u"Makefile", false), "File");
  EXPECT_EQ(FileTypeText(u"report.txt", true), "Deleted TXT File");
  EXPECT_EQ(FileTypeText(u"Makefile", true), "Deleted File");
}

TEST(FatDateTextTest, DayMonthYearWithATrailingBlank) {
  EXPECT_EQ(FatDateText(FatDate(2004, 2, 29)), "29-02-2004 ");
  EXPECT_EQ(FatDateText(FatDate(1980, 1, 1)), "01-01-1980 ");
  EXPECT_EQ(FatDateText(FatDate(2107, 12, 31)), "31-12-2107 ");
}

TEST(NtfsTimeTextTest, EveryFieldButTheYearInTwoDigits) {
  EXPECT_EQ(NtfsTimeText(0), "01-01-1601 00:00:00");
  // 2026-01-02 13:53:06.5 UTC.
  constexpr std::uint64_t kAfternoon = (1767361986ull + 11644473600ull) * 10000000ull + 5000000ull;
  EXPECT_EQ(NtfsTimeText(kAfternoon), "02-01-2026 13:53:06");
  EXPECT_EQ(NtfsTimeText(kAfternoon - 13ull * 3600 * 10000000ull), "02-01-2026 00:53:06");
}

TEST(FatDateTextTest, TimesOfDayAndMomentsAsTheEntryHoldsThem) {
  EXPECT_EQ(FatDateTimeText(FatDate(2004, 2, 29), kTimeOfDay), "29-02-2004 13:45:58");
  EXPECT_EQ(FatDateTimeText(FatDate(1980, 1, 1), 0), "01-01-1980 00:00:00");
  EXPECT_EQ(FatDateTimeText(FatDate(2020, 7, 4), (9 << 11) | (5 << 5) | 3), "04-07-2020 09:05:06");
  // Two-second units: 29 is the 58th second; hour 24 is out of range.
  const auto moment = UnixTimeFromFatDateTime(FatDate(2107, 12, 31), (23 << 11) | (59 << 5) | 29);
  ASSERT_TRUE(moment);
  EXPECT_EQ(IsoUtcText(*moment), "2107-12-31T23:59:58Z");
  EXPECT_EQ(IsoUtcText(*UnixTimeFromFatDateTime(FatDate(2000, 3, 1), 24 << 11)), "2000-03-01T00:00:00Z");
  EXPECT_FALSE(UnixTimeFromFatDateTime(0, kTimeOfDay));
  EXPECT_FALSE(UnixTimeFromFatDateTime(FatDate(2001, 13, 1), 0));
  // FILETIME 0 is "not recorded"; 1601 and 1970 as they are.
  EXPECT_FALSE(UnixTimeFromFileTime(0));
  EXPECT_EQ(IsoUtcText(*UnixTimeFromFileTime(116444736000000000ULL)), "1970-01-01T00:00:00Z");
  EXPECT_EQ(IsoUtcText(*UnixTimeFromFileTime(1)), "1601-01-01T00:00:00Z");
}

}  // namespace
}  // namespace dravik
