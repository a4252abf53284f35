// The disk of names that make-save-fixtures.sh edits as FAT drivers and
// damaged disks leave directories: a deleted file listed before a live one of
// the same name (the live one keeps the name), and long names holding
// characters no name may hold (kept, made safe, in every scan mode). Contents
// are checked against the fixture's manifest and the Sleuth Kit's icat.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "SaveFixtures.h"
#include "TestFiles.h"
#include "fs/ResultTree.h"
#include "save/SaveDriver.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;

constexpr const char* kSame = "same/big_late_file.bin";

std::string Sha(const fs::path& file) { return test::Sha256Bytes(test::ReadFileBytes(file)); }

class SaveNamesTest : public ::testing::Test {
 protected:
  // names.manifest: "PATH\t\tSHA256" (deleted ones as "deleted:PATH") and
  // "inode\tlive|deleted\tNUMBER" of the two big_late_file.bin.
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

  std::unique_ptr<test::ScannedVolume> volume_;
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
  ASSERT_EQ(icat.status, 0);
  ASSERT_EQ(icat.out.substr(0, 64), live);

  EXPECT_TRUE(Save(u"same", dir / "renamed").Succeeded());
  EXPECT_EQ(Sha(dir / "renamed" / kSame), live);
  EXPECT_EQ(Sha(dir / "renamed/same/Copy (1 ) of big_late_file.bin"), deleted);
  // Skipping duplicates skips the deleted one, never the live one.
  EXPECT_EQ(Save(u"same", dir / "skipped", DuplicateMode::kSkip).passedOver, 1u);
  EXPECT_EQ(Sha(dir / "skipped" / kSame), live);
  EXPECT_EQ(test::HashTree(dir / "skipped").size(), 2u) << "big_late_file.bin and other.txt";
  // The search results hand the files over in their own order: deleted first here.
  SaveControl control;
  EXPECT_TRUE(SaveCheckedList(Context(control, {}), volume_->store, FsFamily::kFat, same, dir / "listed").Succeeded());
  EXPECT_EQ(Sha(dir / "listed/big_late_file.bin"), live);
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

// The Extensive Scan lists what it finds below the root it found.
TEST_F(SaveNamesTest, TheExtensiveScanFindsTheSameNames) {
  test::TempDir dest;
  const auto result = test::RunShell(test::Dravik("scan extensive --quiet --fs fat32 --pick 1 " +
                                                  Quote(test::SaveFixture("names.vhd")) + " --recover " +
                                                  Quote(dest.Path())) + " 2>&1");
  EXPECT_EQ(result.status, 0) << result.out;
  const auto saved = test::HashTree(dest.Path());
  for (const auto& [path, sha] : sha_) {
    if (path.rfind("odd/", 0) != 0) continue;
    const auto got =
        std::find_if(saved.begin(), saved.end(), [&](const auto& file) { return file.first.ends_with(path); });
    ASSERT_NE(got, saved.end()) << path << " not saved";
    EXPECT_EQ(got->second, sha) << path;
  }
}

}  // namespace
}  // namespace dravik
