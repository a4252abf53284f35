// Saves from make-save-fixtures.sh's disks. fill: saves that cannot be done whole (destinations that cannot be used,
// names too long for Linux, sectors that cannot be read; a full one: RecoverFailureCliTest). names: a deleted file
// listed before a live one of its name (the live one keeps the name), long names holding characters no name may hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "SaveFixtures.h"
#include "TestFiles.h"
#include "fs/ResultTree.h"
#include "save/SaveDriver.h"
#include "util/Utf.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;

class SaveFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume_ = test::ScanImage(test::SaveFixture("fill.vhd"));
    ASSERT_TRUE(volume_);
    manifest_ = test::ReadFillManifest();
    ASSERT_EQ(volume_->store.Files().size(), manifest_.size());
  }
  SaveSummary Save(const RecoveryStore& store, const ResultTree& tree, const fs::path& dest) const {
    return test::SaveChecked(*volume_->reader, volume_->result.params, store, tree, dest);
  }
  // A store of copies of README.TXT under the names given; at the locator given.
  RecoveryStore Copies(const std::vector<std::u16string>& names, std::optional<std::uint64_t> locator = {}) const {
    RecoveryStore store;
    for (std::uint32_t i = 0; i < names.size(); ++i) {
      FileRecord record = volume_->store.Files().front();
      record.name = names[i];
      record.key = i;
      record.locator = locator.value_or(record.locator);
      store.AddFile(record);
    }
    return store;
  }
  std::unique_ptr<test::VolumeScan> volume_;
  std::map<std::string, std::string> manifest_;
};

// Each once made the search for a free "Copy (n ) of" name run for ever, taking the refusal for a name that exists.
TEST_F(SaveFailureTest, DestinationsThatCannotBeUsedFailEveryFileWithTheReason) {
  test::TempDir dir;
  fs::create_symlink("loop", dir / "loop");
  std::ofstream(dir / "plain") << "not a folder";
  // A path that leaves no room for a name below it (PATH_MAX is 4096 with the NUL).
  constexpr std::size_t kDeep = 4094;
  fs::path deep = dir.Path();
  while (deep.string().size() + 201 <= kDeep - 20) deep /= std::string(200, 'd');
  deep /= std::string(kDeep - deep.string().size() - 1, 'e');
  fs::create_directories(deep);
  ASSERT_EQ(deep.string().size(), kDeep);
  for (const auto& [dest, error] : {std::pair{dir / "loop", ELOOP}, {dir / "plain", ENOTDIR},
                                    {dir / "plain" / "below", ENOTDIR}, {deep, ENAMETOOLONG}}) {
    SCOPED_TRACE(dest.string().substr(0, 80));
    const SaveSummary summary = Save(volume_->store, test::WholeTree(volume_->store), dest);
    EXPECT_TRUE(summary.saved == 0u && summary.failed == manifest_.size());
    ASSERT_FALSE(summary.failures.empty());
    for (const SaveFailure& failure : summary.failures) EXPECT_EQ(failure.error, error) << failure.Text();
  }
  EXPECT_TRUE(test::ReadFileBytes(dir / "plain").size() == 12u && fs::is_empty(deep) && fs::is_symlink(dir / "loop"));
}

// The fixture's 87-CJK-character name, a file's and a folder's, saved twice (the second time "Copy (1 ) of ..."), and
// copies of README.TXT with four-byte characters at the cut and an extension too long to keep.
TEST_F(SaveFailureTest, NamesTooLongForLinuxAreShortenedWithWholeCharactersKeepingTheirExtension) {
  const std::string longName = test::FillLongName();
  ResultTree tree = ResultTree::Build(volume_->store, FsFamily::kFat);
  tree.SetCheck(ResultTree::kRoot, false);
  for (const std::u16string& path : {std::u16string(u"names"), u"deep/" + FromUtf8(longName)}) {
    ASSERT_TRUE(tree.FindFolder(path)) << ToUtf8(path);
    tree.SetCheck(*tree.FindFolder(path), true);
  }
  test::TempDir dir;
  for (int run = 0; run < 2; ++run) {
    const SaveSummary s = Save(volume_->store, tree, dir.Path());
    EXPECT_TRUE(s.saved == 2u && s.Complete()) << (s.failures.empty() ? "" : s.failures[0].Text());
  }
  const auto saved = test::HashTree(dir.Path());
  ASSERT_EQ(saved.size(), 4u);
  int files = 0, copies = 0, insides = 0;
  for (const auto& [path, sha] : saved) {
    SCOPED_TRACE(path);
    const std::string name = fs::path(path).filename().string();
    const std::string copy = name.rfind("Copy (1 ) of ", 0) == 0 ? "Copy (1 ) of " : "";
    if (path.rfind("names/", 0) == 0) {
      EXPECT_TRUE(test::IsFaithfulShortening(name, copy + longName + ".txt"));
      EXPECT_EQ(sha, manifest_.at("names/" + longName + ".txt"));
    } else {
      EXPECT_TRUE(test::IsFaithfulShortening(fs::path(path).parent_path().filename().string(), longName));
      EXPECT_EQ(name, copy + "inside.txt");
      EXPECT_EQ(sha, manifest_.at("deep/" + longName + "/inside.txt"));
    }
    ++(path.rfind("names/", 0) != 0 ? insides : copy.empty() ? files : copies);
  }
  EXPECT_EQ(std::tuple(files, copies, insides), std::tuple(1, 1, 2));

  ASSERT_EQ(volume_->store.Files().front().name, u"README.TXT");
  std::u16string emoji;
  for (int i = 0; i < 70; ++i) emoji += u"\U0001F600";
  const std::vector<std::u16string> names = {emoji + u".jpeg", u"x" + emoji + u".jpeg",
                                             std::u16string(300, u'a') + u".extension-of-20-b"};
  RecoveryStore store = Copies(names);
  test::TempDir other;
  EXPECT_EQ(Save(store, test::WholeTree(store), other.Path()).saved, 3u);
  const auto copied = test::HashTree(other.Path());
  ASSERT_EQ(copied.size(), 3u);
  for (const auto& [path, sha] : copied) EXPECT_EQ(sha, manifest_.at("README.TXT"));
  for (const std::u16string& name : names) {
    const auto faithful = [&](const auto& file) { return test::IsFaithfulShortening(file.first, ToUtf8(name)); };
    EXPECT_EQ(std::count_if(copied.begin(), copied.end(), faithful), 1) << ToUtf8(name).substr(0, 20);
  }
}

TEST_F(SaveFailureTest, AFileWhoseSectorsCannotBeReadIsKeptAndNamedWithTheBytesItLacks) {
  // Clusters past the end of the disk: every read of them fails.
  const std::uint64_t beyond = volume_->result.params.VolumeClusters(volume_->reader->SectorCount()) + 1000;
  RecoveryStore store = Copies({u"beyond.bin"}, beyond);
  test::TempDir dir;
  const SaveSummary summary = Save(store, test::WholeTree(store), dir.Path());
  EXPECT_TRUE(summary.saved == 0u && summary.incomplete == 1u && !summary.Complete());
  ASSERT_EQ(summary.failures.size(), 1u);
  EXPECT_TRUE(summary.failures[0].path == dir / "beyond.bin" && fs::exists(dir / "beyond.bin"));
  EXPECT_STREQ(summary.failures[0].Status(), "incomplete");
  EXPECT_EQ(summary.failures[0].missingBytes, store.Files().front().size) << "not one sector of it could be read";
}

using test::Quote;

constexpr const char* kSame = "same/big_late_file.bin";

std::string Sha(const fs::path& file) { return test::Sha256Bytes(test::ReadFileBytes(file)); }

class SaveNamesTest : public ::testing::Test {
 protected:
  // names.manifest: "PATH\t\tSHA256" ("deleted:PATH"), "inode\tlive|deleted\tNUMBER" of big_late_file.bin.
  void SetUp() override {
    volume_ = test::ScanImage(test::SaveFixture("names.vhd"));
    ASSERT_TRUE(volume_);
    std::ifstream in(test::SaveFixture("names.manifest"));
    for (std::string line; std::getline(in, line);) {
      const auto first = line.find('\t'), second = line.find('\t', first + 1);
      ASSERT_NE(second, std::string::npos) << line;
      (line.compare(0, first, "inode") == 0 ? inode_[line.substr(first + 1, second - first - 1)]
                                            : sha_[line.substr(0, first)]) = line.substr(second + 1);
    }
    ASSERT_EQ(inode_.size(), 2u);
    tree_.emplace(ResultTree::Build(volume_->store, FsFamily::kFat));
  }
  SaveContext Context(SaveControl& control, const RecoverySettings& settings) const {
    static const FilterList filter;
    return {*volume_->reader, volume_->result.params, settings, filter, control};
  }
  SaveSummary Save(const std::u16string& folder, const fs::path& dest, DuplicateMode mode = DuplicateMode::kRename) {
    tree_->SetCheck(ResultTree::kRoot, false);
    tree_->SetCheck(*tree_->FindFolder(folder), true);
    SaveControl control;
    RecoverySettings settings;
    settings.duplicates = mode;
    return SaveCheckedTree(Context(control, settings), volume_->store, *tree_, dest);
  }
  std::unique_ptr<test::VolumeScan> volume_;
  std::map<std::string, std::string> sha_, inode_;
  std::optional<ResultTree> tree_;
};

TEST_F(SaveNamesTest, TheLiveFileKeepsItsNameWhateverTheOrderOfTheEntries) {
  std::vector<std::size_t> same;  // the records of that name, deleted first
  for (std::size_t i = 0; i < volume_->store.Files().size(); ++i)
    if (volume_->store.Files()[i].name == u"big_late_file.bin") same.push_back(i);
  ASSERT_EQ(same.size(), 2u);
  ASSERT_TRUE(volume_->store.Files()[same[0]].deleted && !volume_->store.Files()[same[1]].deleted);
  const std::string live = sha_.at(kSame), deleted = sha_.at(std::string("deleted:") + kSame);
  ASSERT_NE(deleted, live);
  test::TempDir dir;
  const auto icat = test::RunShell("qemu-img convert -O raw " + Quote(test::SaveFixture("names.vhd")) + " " +
                                   Quote(dir / "names.raw") + " && icat -o 2048 " + Quote(dir / "names.raw") + " " +
                                   inode_.at("live") + " | sha256sum | cut -d' ' -f1");
  ASSERT_TRUE(icat.status == 0 && icat.out.substr(0, 64) == live) << icat.out;
  EXPECT_TRUE(Save(u"same", dir / "renamed").Succeeded());
  EXPECT_EQ(Sha(dir / "renamed" / kSame), live);
  EXPECT_EQ(Sha(dir / "renamed/same/Copy (1 ) of big_late_file.bin"), deleted);
  // Skipping duplicates skips the deleted one, never the live one.
  EXPECT_EQ(Save(u"same", dir / "skipped", DuplicateMode::kSkip).passedOver, 1u);
  EXPECT_EQ(Sha(dir / "skipped" / kSame), live);
  EXPECT_EQ(test::HashTree(dir / "skipped").size(), 2u) << "big_late_file.bin and other.txt";
  // The search results hand the files over in their own order: deleted first here; a number past the list is passed
  // over. They are written flat into the destination.
  same.push_back(volume_->store.Files().size());
  SaveControl control;
  const SaveSummary listed =
      SaveCheckedList(Context(control, {}), volume_->store, FsFamily::kFat, same, dir / "listed");
  EXPECT_TRUE(listed.Succeeded() && listed.saved == 2u);
  EXPECT_EQ(test::HashTree(dir / "listed"),
            (std::map<std::string, std::string>{{"big_late_file.bin", live},
                                                {"Copy (1 ) of big_late_file.bin", deleted}}));
}

TEST_F(SaveNamesTest, LongNamesWithForbiddenCharactersAreListedAndSavedMadeSafe) {
  test::TempDir dest;
  EXPECT_TRUE(Save(u"odd", dest.Path()).Succeeded());
  std::map<std::string, std::string> expected;
  for (const auto& [path, sha] : sha_) {
    if (path.rfind("odd/", 0) == 0) expected[path] = sha;
    if (path.rfind("deleted:odd/", 0) == 0) expected[path.substr(8)] = sha;
  }
  ASSERT_EQ(expected.size(), 6u);
  EXPECT_EQ(test::HashTree(dest.Path()), expected);
}

}  // namespace
}  // namespace dravik
