// Saving from the FAT fixtures what the matrix (matrix/ContainerMatrixTest)
// does not check: access dates apart from write dates, duplicate names, stop
// and skip, and names or links that try to lead outside the destination (the
// deleted and filter settings: ScanCliTest; lists of files: SaveNamesTest).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "Bytes.h"
#include "FatFixtures.h"
#include "MemoryFatVolume.h"
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
  EXPECT_EQ(done.failed, 0u);
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

std::string Sha(const fs::path& file) { return test::Sha256Bytes(test::ReadFileBytes(file)); }

TEST(SaveFixtureTest, WriteTimeOfDayAndAccessDateAreSetApart) {
  // mtools writes the access date as the write date: this volume keeps them apart.
  test::MemoryFatVolume v(false);
  test::DirSlot slot = test::ShortSlot("TIMES   TXT", 0x20, 10, 5, test::FatDate(2010, 6, 15));
  test::PutInt(slot, 18, test::FatDate(2011, 7, 20), 2);     // access date
  test::PutInt(slot, 22, (17 << 11) | (42 << 5) | 18, 2);  // write time 17:42:36
  v.PutSlot(v.RootSector(0), 0, slot);
  v.Chain({10});
  RecoveryStore store = v.Scan();
  ASSERT_EQ(store.Files().size(), 1u);
  const MemorySource source = v.Source();
  const SectorReader reader(source);
  SaveControl control;
  const RecoverySettings settings;
  const FilterList filter;
  test::TempDir dir;
  SaveCheckedTree({reader, v.Params(), settings, filter, control}, store, test::WholeTree(store), dir.Path());
  EXPECT_EQ(test::MtimeUtc(dir / "TIMES.TXT"), "2010-06-15 17:42:36");
  EXPECT_EQ(test::AtimeDateUtc(dir / "TIMES.TXT"), "2011-07-20");
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
  EXPECT_EQ(test::HashTree(dir.Path()),
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
  EXPECT_EQ(test::HashTree(other.Path()).at("Copy (1 ) of Report.txt"), report.sha256);
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
  ASSERT_EQ(Sha(reference / "sizes" / "big.bin"), ManifestEntry(manifest, "sizes/big.bin").sha256);

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
    EXPECT_EQ(summary.failed, 0u);
    EXPECT_EQ(summary.begun, stop ? 3u : 4u);  // one-cluster.bin, odd-size.dat, big.bin (, README.TXT)
    EXPECT_EQ(summary.saved + 1, summary.begun);
    EXPECT_TRUE(!summary.Complete() && summary.NothingFailed());
    EXPECT_FALSE(fs::exists(dir / "sizes" / "big.bin"));
    const fs::path part = dir / "sizes" / "big.bin.partial";
    const auto bytes = fs::is_regular_file(part) ? test::ReadFileBytes(part) : std::vector<std::uint8_t>{};
    EXPECT_TRUE(bytes.size() > 0 && bytes.size() < whole.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), whole.begin())) << "the part is not the file's beginning";
    EXPECT_NE(test::MtimeDateUtc(part), ManifestEntry(manifest, "sizes/big.bin").date);
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].path, part);
    EXPECT_STREQ(summary.failures[0].Status(), "interrupted");
    EXPECT_EQ(summary.failures[0].missingBytes, whole.size() - bytes.size());
    EXPECT_EQ(Sha(dir / "sizes" / "odd-size.dat"), ManifestEntry(manifest, "sizes/odd-size.dat").sha256);
    EXPECT_EQ(fs::exists(dir / "README.TXT") ? Sha(dir / "README.TXT") : "",
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
  const auto saved = test::HashTree(dest);
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
  EXPECT_EQ(Sha(dest / "Copy (1 ) of README.TXT"), ManifestEntry(manifest, "README.TXT").sha256);
  EXPECT_FALSE(fs::is_symlink(dest / "Docs"));
  EXPECT_EQ(Sha(dest / "Docs" / "Sub Folder" / "Deep" / "deeper file.txt"),
            ManifestEntry(manifest, "Docs/Sub Folder/Deep/deeper file.txt").sha256);

  SaveRun overwrite;
  overwrite.settings.duplicates = DuplicateMode::kOverwrite;
  EXPECT_GT(Save(*v, v->store, tree, dest, overwrite), 2u);
  for (const char* name : {"README.TXT", "notes.txt"}) {
    EXPECT_FALSE(fs::is_symlink(dest / name)) << name;
    EXPECT_EQ(Sha(dest / name), ManifestEntry(manifest, name).sha256) << name;
  }
  EXPECT_EQ(test::ListTree(outside), std::vector<std::string>{"target.txt"});
  EXPECT_EQ(test::ReadFileBytes(outside / "target.txt"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
}

}  // namespace
}  // namespace dravik
