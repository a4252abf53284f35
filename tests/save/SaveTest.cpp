// Saving from the FAT disks what the matrix (matrix/ContainerMatrixTest) does not check; the deleted and filter
// settings: ScanCliTest; a full destination: RecoverFailureCliTest.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "Bytes.h"
#include "FatFixtures.h"
#include "SaveFixtures.h"
#include "TestFiles.h"
#include "fs/ResultTree.h"
#include "save/SaveDriver.h"
#include "util/Utf.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ManifestFile;
using test::VolumeScan;

struct SaveRun {
  RecoverySettings settings;
  FilterList filter;
  SaveControl::Sink sink;
  fs::path image;
};

// Saves what the tree has checked; returns the count of files saved whole.
std::uint32_t Save(const VolumeScan& v, const RecoveryStore& store, const ResultTree& tree, const fs::path& dest,
                   const SaveRun& run = {}) {
  SaveControl control(run.sink);
  const SaveContext context{*v.reader, v.result.params, run.settings, run.filter, control, run.image};
  const SaveSummary done = SaveCheckedTree(context, store, tree, dest);
  EXPECT_TRUE(done.failures.empty()) << done.failures.front().Text();
  EXPECT_EQ(done.saved, control.SavedCount());
  return done.saved;
}

std::size_t NodeByKey(const ResultTree& tree, const std::string& key) {
  for (std::size_t i = 1; i < tree.Nodes().size(); ++i)
    if (test::CanonicalSavedPath(ToUtf8(tree.PathOf(i))) == test::CanonicalSavedPath(key)) return i;
  throw std::runtime_error("no folder " + key);
}

// The key of the file the scan lists under the canonical key.
std::uint64_t SerialByKey(const VolumeScan& v, const std::string& key) {
  const auto items = test::ScanItems(v.store);
  const std::size_t folders = v.store.Folders().size();
  for (std::size_t i = folders; i < items.size(); ++i)
    if (items[i].key == key) return v.store.Files()[i - folders].key;
  throw std::runtime_error("no file " + key);
}

// The tree with nothing checked but the folders and files of the given keys.
ResultTree CheckedOnly(VolumeScan& v, const std::vector<std::string>& folders,
                       const std::vector<std::string>& files = {}) {
  ResultTree tree = ResultTree::Build(v.store, FsFamily::kFat);
  tree.SetCheck(ResultTree::kRoot, false);
  for (const auto& folder : folders) tree.SetCheck(NodeByKey(tree, folder), true);
  for (const auto& file : files) tree.CheckFile(SerialByKey(v, file), true);
  return tree;
}

const ManifestFile& ManifestEntry(const std::vector<ManifestFile>& manifest, const std::string& path) {
  for (const auto& f : manifest)
    if (f.path == path) return f;
  throw std::runtime_error("not in the manifest: " + path);
}

// Renaming counts on past the copies already there. A file of the image's own name in the destination is the image:
// overwriting renames instead. (Skipping: SaveNamesTest.)
TEST(SaveSettingsTest, DuplicatesAreRenamedOnAndTheImageIsNeverOverwritten) {
  auto v = test::ScanImage(test::FatFixture("fat16.vhd"));
  ASSERT_TRUE(v);
  const auto manifest = test::ReadManifest("fat16");
  const ManifestFile& report = ManifestEntry(manifest, "Docs/Report.txt");
  ResultTree tree = CheckedOnly(*v, {}, {report.key});
  test::TempDir dir;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Save(*v, v->store, tree, dir.Path()), 1u);
  EXPECT_EQ(test::Sha256Tree(dir.Path()),
            (std::map<std::string, std::string>{{"Report.txt", report.sha256},
                                                {"Copy (1 ) of Report.txt", report.sha256},
                                                {"Copy (2 ) of Report.txt", report.sha256}}));
  test::TempDir other;
  const std::vector<std::uint8_t> image = {'i', 'm', 'a', 'g', 'e'};
  test::WriteFileBytes(other / "Report.txt", image);
  SaveRun overwrite;
  overwrite.settings.duplicates = DuplicateMode::kOverwrite;
  overwrite.image = other / "Report.txt";
  EXPECT_EQ(Save(*v, v->store, tree, other.Path(), overwrite), 1u);
  EXPECT_EQ(test::ReadFileBytes(other / "Report.txt"), image);
  EXPECT_EQ(test::Sha256Tree(other.Path()).at("Copy (1 ) of Report.txt"), report.sha256);
}

// Stop or skip asked for at the first progress report of big.bin's copying
// (the first call announces the file): the part written is kept under a name
// that says so, with the time of saving, and named in the report with the
// bytes it lacks; stop ends the save, skip goes on with README.TXT.
TEST(SaveControlTest, StopAndSkipKeepThePartWritten) {
  auto v = test::ScanImage(test::FatFixture("fat32-4k.vhd"));
  ASSERT_TRUE(v);
  const auto manifest = test::ReadManifest("fat32-4k");
  ResultTree tree = CheckedOnly(*v, {"sizes"}, {"README.TXT"});
  test::TempDir reference;
  Save(*v, v->store, tree, reference.Path());
  const auto whole = test::ReadFileBytes(reference / "sizes" / "big.bin");
  ASSERT_EQ(test::Sha256File(reference / "sizes" / "big.bin"), ManifestEntry(manifest, "sizes/big.bin").sha256);

  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stop" : "skip");
    SaveControl* control = nullptr;
    int reports = 0;
    SaveRun run;
    run.sink = [&](const SaveProgress& progress) {
      if (progress.fileName != u"big.bin" || ++reports != 2) return;
      stop ? control->RequestStop() : control->SkipCurrentFile();
    };
    SaveControl saveControl(run.sink);
    control = &saveControl;
    test::TempDir dir;
    const SaveSummary summary = SaveCheckedTree({*v->reader, v->result.params, run.settings, run.filter, saveControl},
                                                v->store, tree, dir.Path());
    EXPECT_EQ(reports, 2) << "no report after the stop or skip";
    EXPECT_EQ(summary.interrupted, 1u);
    EXPECT_EQ(summary.begun, stop ? 3u : 4u);  // one-cluster.bin, odd-size.dat, big.bin (, README.TXT)
    EXPECT_EQ(summary.saved + 1, summary.begun);
    EXPECT_TRUE(summary.NothingFailed());
    EXPECT_FALSE(fs::exists(dir / "sizes" / "big.bin"));
    const fs::path part = dir / "sizes" / "big.bin.partial";
    const auto bytes = fs::is_regular_file(part) ? test::ReadFileBytes(part) : std::vector<std::uint8_t>{};
    EXPECT_TRUE(bytes.size() > 0 && bytes.size() < whole.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), whole.begin())) << "the part is not the file's beginning";
    EXPECT_NE(test::MtimeUtc(part).substr(0, 10), ManifestEntry(manifest, "sizes/big.bin").date);
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].path, part);
    EXPECT_STREQ(summary.failures[0].Status(), "interrupted");
    EXPECT_EQ(summary.failures[0].missingBytes, whole.size() - bytes.size());
    EXPECT_EQ(test::Sha256File(dir / "sizes" / "odd-size.dat"), ManifestEntry(manifest, "sizes/odd-size.dat").sha256);
    EXPECT_EQ(fs::exists(dir / "README.TXT") ? test::Sha256File(dir / "README.TXT") : "",
              stop ? "" : ManifestEntry(manifest, "README.TXT").sha256);
  }
}

TEST(SaveSafetyTest, HostileNamesStayInsideTheDestination) {
  auto v = test::ScanImage(test::FatFixture("fat16.vhd"));
  ASSERT_TRUE(v);
  const auto manifest = test::ReadManifest("fat16");
  const ManifestFile& readme = ManifestEntry(manifest, "README.TXT");
  const auto& real = v->store.Files()[SerialByKey(*v, "README.TXT")];

  RecoveryStore store;
  store.AddFolderOnce({.name = u"..", .id = 1000, .parentId = kFatRootId});
  store.AddFolderOnce({.name = u"../../up", .id = 1001, .parentId = 1000});
  store.AddFolderOnce({.name = u"a/../../b", .id = 1002, .parentId = kFatRootId});
  store.AddFolderOnce({.name = u".", .id = 1003, .parentId = kFatRootId});
  const std::u16string names[] = {u"../../evil", u".", u"/abs/path", std::u16string(u"nul\0name", 8), u"..", u"../x"};
  const std::uint32_t parents[] = {kFatRootId, 1000, 1001, 1002, 1003, 1001};
  for (std::uint32_t i = 0; i < 6; ++i)
    store.AddFile({.name = names[i], .parentId = parents[i], .times = real.times, .size = real.size, .key = i,
                   .locator = real.locator});
  const ResultTree tree = test::WholeTree(store);
  test::TempDir top;
  const fs::path dest = top / "one" / "two" / "dest";
  EXPECT_EQ(Save(*v, store, tree, dest), 6u);
  for (const std::string& entry : test::ListTree(top.Path()))
    EXPECT_TRUE(entry == "one" || entry == "one/two" || entry.rfind("one/two/dest", 0) == 0) << entry;
  const auto saved = test::Sha256Tree(dest);
  EXPECT_EQ(saved.size(), 6u);
  for (const auto& [path, sha] : saved) EXPECT_EQ(sha, readme.sha256) << path;
}

// Links where a file or a folder goes (one dangling) are replaced, never
// followed: renaming leaves them alone, overwriting puts the file there.
TEST(SaveSafetyTest, LinksInTheDestinationAreReplacedNotFollowed) {
  auto v = test::ScanImage(test::FatFixture("fat16.vhd"));
  ASSERT_TRUE(v);
  const auto manifest = test::ReadManifest("fat16");
  test::TempDir top;
  const fs::path outside = top / "outside", dest = top / "dest";
  fs::create_directories(outside);
  fs::create_directories(dest);
  { std::ofstream(outside / "target.txt") << "keep me"; }
  ResultTree tree = CheckedOnly(*v, {"Docs"}, {"README.TXT"});
  tree.CheckFile(SerialByKey(*v, "notes.txt"), true);
  fs::create_symlink(outside / "target.txt", dest / "README.TXT");
  fs::create_symlink(outside / "missing.txt", dest / "notes.txt");
  fs::create_symlink(outside, dest / "Docs");

  EXPECT_GT(Save(*v, v->store, tree, dest), 2u);
  EXPECT_TRUE(fs::is_symlink(dest / "README.TXT"));
  EXPECT_EQ(test::Sha256File(dest / "Copy (1 ) of README.TXT"), ManifestEntry(manifest, "README.TXT").sha256);
  EXPECT_FALSE(fs::is_symlink(dest / "Docs"));
  EXPECT_EQ(test::Sha256File(dest / "Docs" / "Sub Folder" / "Deep" / "deeper file.txt"),
            ManifestEntry(manifest, "Docs/Sub Folder/Deep/deeper file.txt").sha256);

  SaveRun overwrite;
  overwrite.settings.duplicates = DuplicateMode::kOverwrite;
  EXPECT_GT(Save(*v, v->store, tree, dest, overwrite), 2u);
  for (const char* name : {"README.TXT", "notes.txt"}) {
    EXPECT_FALSE(fs::is_symlink(dest / name)) << name;
    EXPECT_EQ(test::Sha256File(dest / name), ManifestEntry(manifest, name).sha256) << name;
  }
  EXPECT_EQ(test::ListTree(outside), std::vector<std::string>{"target.txt"});
  EXPECT_EQ(test::ReadFileBytes(outside / "target.txt"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
}

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
  const auto saved = test::Sha256Tree(dir.Path());
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
  const auto copied = test::Sha256Tree(other.Path());
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
  EXPECT_EQ(test::Sha256File(dir / "renamed" / kSame), live);
  EXPECT_EQ(test::Sha256File(dir / "renamed/same/Copy (1 ) of big_late_file.bin"), deleted);
  // Skipping duplicates skips the deleted one, never the live one.
  EXPECT_EQ(Save(u"same", dir / "skipped", DuplicateMode::kSkip).passedOver, 1u);
  EXPECT_EQ(test::Sha256File(dir / "skipped" / kSame), live);
  EXPECT_EQ(test::Sha256Tree(dir / "skipped").size(), 2u) << "big_late_file.bin and other.txt";
  // The search results hand the files over in their own order: deleted first here; a number past the list is passed
  // over. They are written flat into the destination.
  same.push_back(volume_->store.Files().size());
  SaveControl control;
  const SaveSummary listed =
      SaveCheckedList(Context(control, {}), volume_->store, FsFamily::kFat, same, dir / "listed");
  EXPECT_TRUE(listed.Succeeded() && listed.saved == 2u);
  EXPECT_EQ(test::Sha256Tree(dir / "listed"),
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
  EXPECT_EQ(test::Sha256Tree(dest.Path()), expected);
}

}  // namespace
}  // namespace dravik
