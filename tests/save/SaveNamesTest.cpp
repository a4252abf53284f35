// The disk of names that make-save-fixtures.sh edits as FAT drivers and damaged
// disks leave directories: a deleted file listed before a live one of the
// same name (the live one must keep the name), and long names holding
// characters no name may hold (kept, made safe, in every scan mode).
// Contents are checked against the fixture's manifest and the Sleuth Kit's
// icat of the live file.

#include <gtest/gtest.h>

#include <fstream>
#include <map>

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
using test::Quote;
using test::RunShell;

constexpr const char* kSame = "same/big_late_file.bin";

std::string Sha(const fs::path& file) { return test::Sha256Bytes(test::ReadFileBytes(file)); }

// names.manifest: path (deleted ones as "deleted:PATH") -> sha256, and the
// Sleuth Kit's inodes of the live and the deleted big_late_file.bin.
struct NamesManifest {
  std::map<std::string, std::string> sha;
  std::map<std::string, std::string> inode;
};

NamesManifest ReadNamesManifest() {
  NamesManifest manifest;
  std::ifstream in(test::SaveFixture("names.manifest"));
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find('\t');
    const auto second = line.find('\t', first + 1);
    if (first == std::string::npos || second == std::string::npos) throw std::runtime_error("bad manifest line " + line);
    if (line.compare(0, first, "inode") == 0)
      manifest.inode[line.substr(first + 1, second - first - 1)] = line.substr(second + 1);
    else
      manifest.sha[line.substr(0, first)] = line.substr(second + 1);
  }
  return manifest;
}

class SaveNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume_ = test::ScanImage(test::SaveFixture("names.vhd"));
    ASSERT_TRUE(volume_);
    manifest_ = ReadNamesManifest();
    ASSERT_EQ(manifest_.inode.size(), 2u);
  }

  SaveSummary Save(const ResultTree& tree, const fs::path& dest, DuplicateMode duplicates = DuplicateMode::kRename) {
    SaveControl control;
    RecoverySettings settings;
    settings.duplicates = duplicates;
    const FilterList filter;
    const SaveContext context{*volume_->reader, volume_->result.params, settings, filter, control};
    return SaveCheckedTree(context, volume_->store, tree, dest);
  }

  // The live file's bytes as the Sleuth Kit reads them from the same disk.
  std::string LiveShaByIcat() const {
    test::TempDir dir;
    const fs::path raw = dir / "names.raw";
    const auto result = RunShell("qemu-img convert -O raw " + Quote(test::SaveFixture("names.vhd")) + " " +
                                 Quote(raw) + " && icat -o 2048 " + Quote(raw) + " " + manifest_.inode.at("live") +
                                 " | sha256sum | cut -d' ' -f1");
    EXPECT_EQ(result.status, 0);
    return result.out.substr(0, 64);
  }

  std::unique_ptr<test::ScannedVolume> volume_;
  NamesManifest manifest_;
};

TEST_F(SaveNamesTest, TheLiveFileKeepsItsNameWhateverTheOrderOfTheEntries) {
  // The fixture is what the test is about: the deleted entry comes first.
  std::vector<const FileRecord*> same;
  for (const FileRecord& file : volume_->store.Files())
    if (file.name == u"big_late_file.bin") same.push_back(&file);
  ASSERT_EQ(same.size(), 2u);
  ASSERT_TRUE(same[0]->deleted);
  ASSERT_FALSE(same[1]->deleted);
  const std::string live = manifest_.sha.at(kSame);
  ASSERT_EQ(LiveShaByIcat(), live);
  ASSERT_NE(manifest_.sha.at(std::string("deleted:") + kSame), live);

  ResultTree tree = ResultTree::Build(volume_->store, FsFamily::kFat);
  tree.SetCheck(ResultTree::kRoot, false);
  tree.SetCheck(*tree.FindFolder(u"same"), true);
  {
    test::TempDir dest;
    const SaveSummary summary = Save(tree, dest.Path());
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(Sha(dest / kSame), live);
    EXPECT_EQ(Sha(dest / "same" / "Copy (1 ) of big_late_file.bin"),
              manifest_.sha.at(std::string("deleted:") + kSame));
  }
  {
    // Skipping duplicates skips the deleted one, never the live one.
    test::TempDir dest;
    const SaveSummary summary = Save(tree, dest.Path(), DuplicateMode::kSkip);
    EXPECT_EQ(Sha(dest / kSame), live);
    EXPECT_EQ(test::HashTree(dest.Path()).size(), 2u) << "big_late_file.bin and other.txt";
    EXPECT_EQ(summary.passedOver, 1u);
  }
  {
    // The search results hand the files over in their own order: deleted first here.
    test::TempDir dest;
    std::vector<std::size_t> records;
    for (const FileRecord* file : same) records.push_back(static_cast<std::size_t>(file - volume_->store.Files().data()));
    SaveControl control;
    const RecoverySettings settings;
    const FilterList filter;
    const SaveContext context{*volume_->reader, volume_->result.params, settings, filter, control};
    EXPECT_TRUE(SaveCheckedList(context, volume_->store, FsFamily::kFat, records, dest.Path()).Succeeded());
    EXPECT_EQ(Sha(dest / "big_late_file.bin"), live);
  }
}

TEST_F(SaveNamesTest, LongNamesWithForbiddenCharactersAreListedAndSavedMadeSafe) {
  ResultTree tree = ResultTree::Build(volume_->store, FsFamily::kFat);
  tree.SetCheck(ResultTree::kRoot, false);
  tree.SetCheck(*tree.FindFolder(u"odd"), true);
  test::TempDir dest;
  EXPECT_TRUE(Save(tree, dest.Path()).Succeeded());
  std::map<std::string, std::string> expected;
  for (const auto& [path, sha] : manifest_.sha) {
    if (path.rfind("odd/", 0) == 0) expected[path] = sha;
    if (path.rfind("deleted:odd/", 0) == 0) expected[path.substr(8)] = sha;
  }
  ASSERT_EQ(expected.size(), 6u);
  EXPECT_EQ(test::HashTree(dest.Path()), expected);
}

TEST_F(SaveNamesTest, TheExtensiveScanFindsTheSameNames) {
  test::TempDir dest;
  const auto result = RunShell(test::Dravik("scan extensive --quiet --fs fat32 --pick 1 " +
                                            Quote(test::SaveFixture("names.vhd")) + " --recover " + Quote(dest.Path())) + " 2>&1");
  EXPECT_EQ(result.status, 0) << result.out;
  const auto saved = test::HashTree(dest.Path());
  for (const auto& [path, sha] : manifest_.sha) {
    if (path.rfind("odd/", 0) != 0) continue;
    // The Extensive Scan lists what it finds below the root it found.
    bool found = false;
    for (const auto& [got, gotSha] : saved)
      if (got.size() >= path.size() && got.compare(got.size() - path.size(), path.size(), path) == 0) {
        found = true;
        EXPECT_EQ(gotSha, sha) << path;
      }
    EXPECT_TRUE(found) << path << " not saved";
  }
}

}  // namespace
}  // namespace dravik
