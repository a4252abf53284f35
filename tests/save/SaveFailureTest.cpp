// Saves that cannot be done whole, from the disk of make-save-fixtures.sh: a
// destination that fills up, destinations that cannot be used, names too long
// for Linux, sectors that cannot be read. Every file is counted once, and as
// saved only when what stands in the destination is whole.

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "FatFixtures.h"
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

  // Every folder and the root's files of store, as the command saves a whole volume.
  static ResultTree Whole(RecoveryStore& store) {
    ResultTree tree = ResultTree::Build(store, FsFamily::kFat);
    for (const std::uint64_t key : tree.FilesOf(kFatRootId)) tree.CheckFile(key, true);
    return tree;
  }

  SaveSummary Save(const RecoveryStore& store, const ResultTree& tree, const fs::path& dest) const {
    SaveControl control;
    const RecoverySettings settings;
    const FilterList filter;
    return SaveCheckedTree({*volume_->reader, volume_->result.params, settings, filter, control}, store, tree, dest);
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

  std::unique_ptr<test::ScannedVolume> volume_;
  std::map<std::string, std::string> manifest_;
};

// That every file saved is whole is RecoverFailureCliTest's full destination.
TEST_F(SaveFailureTest, AFullDestinationFailsTheFilesThatDoNotFitAndKeepsNoPartOfThem) {
  test::TempDir dir;
  test::SmallTmpfs small(dir / "small", "2m");
  if (!small.Mounted()) GTEST_SKIP() << small.Problem();
  const fs::path dest = small.Path() / "out";
  const SaveSummary summary = Save(volume_->store, Whole(volume_->store), dest);
  EXPECT_EQ(summary.begun, manifest_.size());
  EXPECT_EQ(summary.saved + summary.failed, manifest_.size());
  EXPECT_GE(summary.failed, 10u) << "24 files of 800 KiB cannot all fit into 2 MiB";
  EXPECT_FALSE(summary.Complete());
  EXPECT_EQ(summary.incomplete, 0u);
  ASSERT_EQ(summary.failures.size(), summary.failed) << "every file that failed is named, each once";
  for (const SaveFailure& failure : summary.failures) {
    SCOPED_TRACE(failure.Text());
    EXPECT_EQ(failure.error, ENOSPC);
    EXPECT_EQ(failure.step, SaveFailure::Step::kFile);
    EXPECT_EQ(failure.path.parent_path(), dest / "fill");
    EXPECT_FALSE(fs::exists(failure.path)) << "the part written is left behind";
  }
  const auto saved = test::HashTree(dest);
  EXPECT_EQ(saved.size(), summary.saved);
  for (const auto& [path, sha] : saved) {
    const std::string original = test::OriginalPath(path, manifest_);
    EXPECT_TRUE(!original.empty() && sha == manifest_.at(original)) << path << " is not a whole file of the disk";
  }
  // The failed parts were removed, so the files after them still found room.
  EXPECT_EQ(test::HashTree(dest / "names").size(), 1u);
  EXPECT_TRUE(fs::exists(dest / "README.TXT"));
  EXPECT_EQ(test::ListTree(small.Path()).front(), "out") << "nothing is written beside the destination";
}

// Each of these once made the search for a free "Copy (n ) of" name run for
// ever, taking the refusal for a name that exists.
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
    const SaveSummary summary = Save(volume_->store, Whole(volume_->store), dest);
    EXPECT_EQ(summary.saved, 0u);
    EXPECT_EQ(summary.failed, manifest_.size());
    ASSERT_FALSE(summary.failures.empty());
    for (const SaveFailure& failure : summary.failures) EXPECT_EQ(failure.error, error) << failure.Text();
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "plain").size(), 12u);
  EXPECT_TRUE(fs::is_empty(deep));
  EXPECT_TRUE(fs::is_symlink(dir / "loop"));
}

// The fixture's name of 87 CJK characters, as a file and as a folder, saved
// twice: the second time every name exists and becomes "Copy (1 ) of ...".
TEST_F(SaveFailureTest, NamesTooLongForLinuxAreShortenedKeepingTheirExtension) {
  const std::string longName = test::FillLongName();
  ResultTree tree = ResultTree::Build(volume_->store, FsFamily::kFat);
  tree.SetCheck(ResultTree::kRoot, false);
  for (const std::u16string& path : {std::u16string(u"names"), u"deep/" + FromUtf8(longName)}) {
    ASSERT_TRUE(tree.FindFolder(path)) << ToUtf8(path);
    tree.SetCheck(*tree.FindFolder(path), true);
  }
  test::TempDir dir;
  for (int run = 0; run < 2; ++run) {
    const SaveSummary summary = Save(volume_->store, tree, dir.Path());
    EXPECT_EQ(summary.saved, 2u);
    EXPECT_TRUE(summary.Complete()) << (summary.failures.empty() ? "" : summary.failures.front().Text());
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
}

// Four-byte characters at the cut, and an extension too long to keep.
TEST_F(SaveFailureTest, ShorteningNeverSplitsACharacter) {
  ASSERT_EQ(volume_->store.Files().front().name, u"README.TXT");
  std::u16string emoji;
  for (int i = 0; i < 70; ++i) emoji += u"\U0001F600";
  const std::vector<std::u16string> names = {emoji + u".jpeg", u"x" + emoji + u".jpeg",
                                             std::u16string(300, u'a') + u".extension-of-20-b"};
  RecoveryStore store = Copies(names);
  test::TempDir dir;
  EXPECT_EQ(Save(store, Whole(store), dir.Path()).saved, 3u);
  const auto saved = test::HashTree(dir.Path());
  ASSERT_EQ(saved.size(), 3u);
  for (const auto& [path, sha] : saved) EXPECT_EQ(sha, manifest_.at("README.TXT"));
  for (const std::u16string& name : names)
    EXPECT_EQ(std::count_if(saved.begin(), saved.end(),
                            [&](const auto& file) { return test::IsFaithfulShortening(file.first, ToUtf8(name)); }),
              1)
        << ToUtf8(name).substr(0, 20);
}

TEST_F(SaveFailureTest, AFileWhoseSectorsCannotBeReadIsKeptAndNamedWithTheBytesItLacks) {
  // Clusters past the end of the disk: every read of them fails.
  const std::uint64_t beyond = volume_->result.params.VolumeClusters(volume_->reader->SectorCount()) + 1000;
  RecoveryStore store = Copies({u"beyond.bin"}, beyond);
  test::TempDir dir;
  const SaveSummary summary = Save(store, Whole(store), dir.Path());
  EXPECT_EQ(summary.saved, 0u);
  EXPECT_EQ(summary.incomplete, 1u);
  EXPECT_FALSE(summary.Complete());
  ASSERT_EQ(summary.failures.size(), 1u);
  EXPECT_EQ(summary.failures[0].path, dir / "beyond.bin");
  EXPECT_TRUE(fs::exists(dir / "beyond.bin"));
  EXPECT_STREQ(summary.failures[0].Status(), "incomplete");
  EXPECT_EQ(summary.failures[0].missingBytes, store.Files().front().size) << "not one sector of it could be read";
}

}  // namespace
}  // namespace dravik
