// Saves that cannot be done whole, from the disk of make-save-fixtures.sh: a
// destination that fills up, destinations that cannot be examined or made,
// names too long for Linux, sectors that cannot be read. Every file is
// counted once, and as saved only when what stands in the destination is
// whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <set>

#include "FatFixtures.h"
#include "SaveFixtures.h"
#include "TestFiles.h"
#include "fs/ResultTree.h"
#include "save/SafeName.h"
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

  // Every folder and the root's files, as the command saves a whole volume.
  ResultTree WholeVolume() const {
    ResultTree tree = ResultTree::Build(volume_->store, FsFamily::kFat);
    for (const std::uint64_t key : tree.FilesOf(kFatRootId)) tree.CheckFile(key, true);
    return tree;
  }

  ResultTree Folders(const std::vector<std::u16string>& paths) const {
    ResultTree tree = ResultTree::Build(volume_->store, FsFamily::kFat);
    tree.SetCheck(ResultTree::kRoot, false);
    for (const auto& path : paths) {
      const auto node = tree.FindFolder(path);
      EXPECT_TRUE(node) << ToUtf8(path);
      if (node) tree.SetCheck(*node, true);
    }
    return tree;
  }

  SaveSummary Save(const RecoveryStore& store, const ResultTree& tree, const fs::path& dest) const {
    SaveControl control;
    const RecoverySettings settings;
    const FilterList filter;
    const SaveContext context{*volume_->reader, volume_->result.params, settings, filter, control};
    return SaveCheckedTree(context, store, tree, dest);
  }

  // Every file below dest is whole: the manifest's bytes under its name or
  // a faithful shortening of it. Returns how many there are.
  std::size_t ExpectAllWhole(const fs::path& dest) const {
    const auto saved = test::HashTree(dest);
    for (const auto& [path, sha] : saved) {
      const std::string original = test::OriginalPath(path, manifest_);
      EXPECT_FALSE(original.empty()) << path << " stands for no file of the disk";
      if (!original.empty()) {
        EXPECT_EQ(sha, manifest_.at(original)) << path << " is not whole";
      }
    }
    return saved.size();
  }

  std::unique_ptr<test::ScannedVolume> volume_;
  std::map<std::string, std::string> manifest_;
};

TEST_F(SaveFailureTest, AFullDestinationFailsTheFilesThatDoNotFitAndKeepsNoPartOfThem) {
  test::TempDir dir;
  test::SmallTmpfs small(dir / "small", "2m");
  if (!small.Mounted()) GTEST_SKIP() << small.Problem();
  const fs::path dest = small.Path() / "out";

  const SaveSummary summary = Save(volume_->store, WholeVolume(), dest);

  EXPECT_EQ(summary.begun, manifest_.size());
  EXPECT_EQ(summary.saved + summary.failed, manifest_.size());
  EXPECT_GE(summary.failed, 10u) << "24 files of 800 KiB cannot all fit into 2 MiB";
  EXPECT_FALSE(summary.Complete());
  EXPECT_EQ(summary.incomplete, 0u);
  // Every file that failed is named, each once.
  ASSERT_EQ(summary.failures.size(), summary.failed);
  for (const SaveFailure& failure : summary.failures) {
    SCOPED_TRACE(failure.Text());
    EXPECT_EQ(failure.error, ENOSPC);
    EXPECT_EQ(failure.step, SaveFailure::Step::kFile);
    EXPECT_EQ(failure.path.parent_path(), dest / "fill");
    EXPECT_FALSE(fs::exists(failure.path)) << "the part written is left behind";
  }
  EXPECT_EQ(ExpectAllWhole(dest), summary.saved);
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
  { std::ofstream(dir / "plain") << "not a folder"; }
  // A path that leaves no room for a name below it (PATH_MAX is 4096 with the NUL).
  constexpr std::size_t kDeep = 4094;
  fs::path deep = dir.Path();
  while (deep.string().size() + 201 <= kDeep - 20) deep /= std::string(200, 'd');
  deep /= std::string(kDeep - deep.string().size() - 1, 'e');
  fs::create_directories(deep);
  ASSERT_EQ(deep.string().size(), kDeep);

  struct Case {
    fs::path dest;
    int error;
  };
  for (const Case& c : {Case{dir / "loop", ELOOP}, Case{dir / "plain", ENOTDIR}, Case{dir / "plain" / "below", ENOTDIR},
                        Case{deep, ENAMETOOLONG}}) {
    SCOPED_TRACE(c.dest.string().substr(0, 80));
    const SaveSummary summary = Save(volume_->store, WholeVolume(), c.dest);
    EXPECT_EQ(summary.saved, 0u);
    EXPECT_EQ(summary.failed, manifest_.size());
    ASSERT_FALSE(summary.failures.empty());
    for (const SaveFailure& failure : summary.failures) EXPECT_EQ(failure.error, c.error) << failure.Text();
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "plain").size(), 12u);
  EXPECT_TRUE(fs::is_empty(deep));
  EXPECT_TRUE(fs::is_symlink(dir / "loop"));
}

TEST_F(SaveFailureTest, NamesTooLongForLinuxAreShortenedKeepingTheirExtension) {
  const std::string longName = test::FillLongName();
  const std::u16string deep = u"deep/" + FromUtf8(longName);
  const ResultTree tree = Folders({u"names", deep});
  test::TempDir dir;
  // Twice: the second time every name exists and becomes "Copy (1 ) of ...".
  for (int run = 0; run < 2; ++run) {
    const SaveSummary summary = Save(volume_->store, tree, dir.Path());
    EXPECT_EQ(summary.saved, 2u);
    EXPECT_TRUE(summary.Complete()) << (summary.failures.empty() ? "" : summary.failures.front().Text());
  }
  const auto saved = test::HashTree(dir.Path());
  ASSERT_EQ(saved.size(), 4u);
  const std::string file = "names/" + longName + ".txt";
  const std::string inside = "deep/" + longName + "/inside.txt";
  std::size_t files = 0, copies = 0, insides = 0;
  for (const auto& [path, sha] : saved) {
    SCOPED_TRACE(path);
    const std::string name = fs::path(path).filename().string();
    if (path.rfind("names/", 0) == 0) {
      const bool copy = name.rfind("Copy (1 ) of ", 0) == 0;
      EXPECT_TRUE(test::IsFaithfulShortening(name, (copy ? "Copy (1 ) of " : "") + longName + ".txt"));
      EXPECT_EQ(sha, manifest_.at(file));
      ++(copy ? copies : files);
    } else {
      const std::string folder = fs::path(path).parent_path().filename().string();
      EXPECT_TRUE(test::IsFaithfulShortening(folder, longName));
      EXPECT_TRUE(name == "inside.txt" || name == "Copy (1 ) of inside.txt");
      EXPECT_EQ(sha, manifest_.at(inside));
      ++insides;
    }
  }
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(copies, 1u);
  EXPECT_EQ(insides, 2u);
}

// Names the fixture cannot carry: four-byte characters at the cut, and an
// extension too long to keep.
TEST_F(SaveFailureTest, ShorteningNeverSplitsACharacter) {
  const FileRecord& readme = volume_->store.Files().front();
  ASSERT_EQ(readme.name, u"README.TXT");
  std::u16string emoji;
  for (int i = 0; i < 70; ++i) emoji += u"\U0001F600";
  const std::u16string names[] = {emoji + u".jpeg", u"x" + emoji + u".jpeg", std::u16string(300, u'a') + u".extension-of-20-b"};
  RecoveryStore store;
  for (std::uint32_t i = 0; i < 3; ++i) {
    FileRecord record = readme;
    record.name = names[i];
    record.key = i;
    store.AddFile(record);
  }
  ResultTree tree = ResultTree::Build(store, FsFamily::kFat);
  for (const std::uint64_t key : tree.FilesOf(kFatRootId)) tree.CheckFile(key, true);
  test::TempDir dir;
  EXPECT_EQ(Save(store, tree, dir.Path()).saved, 3u);
  std::set<std::string> got;
  for (const auto& [path, sha] : test::HashTree(dir.Path())) {
    EXPECT_EQ(sha, manifest_.at("README.TXT"));
    got.insert(path);
  }
  ASSERT_EQ(got.size(), 3u);
  for (const std::u16string& name : names) {
    const std::string original = ToUtf8(name);
    EXPECT_EQ(std::count_if(got.begin(), got.end(),
                            [&](const std::string& saved) { return test::IsFaithfulShortening(saved, original); }),
              1)
        << original.substr(0, 20);
  }
}

TEST_F(SaveFailureTest, AFileWhoseSectorsCannotBeReadIsKeptAndNamedWithTheBytesItLacks) {
  FileRecord record = volume_->store.Files().front();
  record.name = u"beyond.bin";
  // Clusters past the end of the disk: every read of them fails.
  record.locator = volume_->result.params.VolumeClusters(volume_->reader->SectorCount()) + 1000;
  RecoveryStore store;
  store.AddFile(record);
  ResultTree tree = ResultTree::Build(store, FsFamily::kFat);
  tree.CheckFile(record.key, true);
  test::TempDir dir;
  const SaveSummary summary = Save(store, tree, dir.Path());
  EXPECT_EQ(summary.saved, 0u);
  EXPECT_EQ(summary.incomplete, 1u);
  EXPECT_FALSE(summary.Complete());
  EXPECT_TRUE(fs::exists(dir / "beyond.bin"));
  ASSERT_EQ(summary.failures.size(), 1u);
  EXPECT_EQ(summary.failures[0].path, dir / "beyond.bin");
  EXPECT_STREQ(summary.failures[0].Status(), "incomplete");
  EXPECT_EQ(summary.failures[0].missingBytes, record.size) << "not one sector of it could be read";
}

}  // namespace
}  // namespace dravik
