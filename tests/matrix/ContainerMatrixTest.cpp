// Every file system fixture in every container (raw, fixed VHD, dynamic VHD,
// VHDX): the size qemu-img gives, fsstat's parameters (FAT and NTFS), fls's
// listing (live and deleted, names and sizes), and every file saved with the
// manifest's (or icat's) bytes and the manifest's (or fls's) times.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "ExtFixtures.h"
#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ListedItem;
using test::ScanItem;

struct Cell {
  const char* disk;
  const char* container;  // "raw", "fixed", "dynamic", "vhdx"
};

std::ostream& operator<<(std::ostream& os, const Cell& c) { return os << c.disk << " " << c.container; }

bool IsNtfs(const Cell& c) { return std::string(c.disk) == "ntfs"; }
bool IsExt(const Cell& c) { return std::string(c.disk).rfind("ext", 0) == 0; }

fs::path FamilyFixture(const Cell& c, const std::string& name) {
  return IsNtfs(c) ? test::NtfsFixture(name) : IsExt(c) ? test::ExtFixture(name) : test::FatFixture(name);
}

fs::path Raw(const Cell& c) { return FamilyFixture(c, c.disk + std::string(".raw")); }

fs::path Image(const Cell& c) {
  const std::string container = c.container;
  if (container == "fixed") return test::FixtureIn("matrix", c.disk + std::string("-fixed.vhd"));
  const std::string name = c.disk + std::string(container == "raw" ? ".raw" : container == "vhdx" ? ".vhdx" : ".vhd");
  return FamilyFixture(c, name);
}

constexpr std::uint32_t kExtGptStart = 2048;

std::uint32_t Start(const Cell& c) {
  return IsNtfs(c) ? test::NtfsStart() : IsExt(c) ? kExtGptStart : test::FatStart(c.disk);
}

// Each item as "file|folder KEY [deleted] ... size S" (a folder's size left out), to compare listings.
std::multiset<std::string> Shown(const std::vector<ListedItem>& items) {
  std::multiset<std::string> lines;
  for (const ListedItem& item : items)
    lines.insert(test::ShowItem(item.folder, item.deleted, 0, item.key, item.folder ? 0 : item.size));
  return lines;
}

void ExpectFatCell(const Cell& c) {
  const auto v = test::ScanImage(Image(c));
  ASSERT_TRUE(v);
  test::ExpectParamsMatchFsstat(v->result.params, test::Fsstat(Raw(c), Start(c)), Start(c));

  const auto ours = test::ScanItems(v->store);
  const auto theirs = test::FlsItems(Raw(c), Start(c));
  ASSERT_GT(theirs.size(), 20u);
  test::ExpectSameListing(Shown(ours), Shown(theirs));

  // The whole volume saved: one file for every file listed, and every file
  // of the manifest (live, or deleted and never overwritten) whole, with
  // its write time and its access date (mtools writes both the same day).
  test::TempDir dir;
  const SaveSummary summary = v->SaveAll(dir.Path());
  EXPECT_TRUE(summary.Complete() && summary.failures.empty());
  EXPECT_EQ(summary.saved, v->store.Files().size());
  std::map<std::string, std::string> saved;  // canonical key -> "MODIFIED ACCESS-DATE SHA256"
  for (const auto& entry : fs::recursive_directory_iterator(dir.Path()))  // the times before reading moves them on
    if (entry.is_regular_file())
      saved[test::CanonicalSavedPath(fs::relative(entry.path(), dir.Path()).generic_string())] =
          test::MtimeUtc(entry.path()) + " " + test::AtimeDateUtc(entry.path());
  for (const auto& [path, sha] : test::Sha256Tree(dir.Path())) saved[test::CanonicalSavedPath(path)] += " " + sha;
  std::set<std::string> listed;
  for (const auto& item : ours)
    if (!item.folder) listed.insert(item.key);
  EXPECT_EQ(test::Keys(saved), listed);
  for (const test::ManifestFile& file : test::ReadManifest(c.disk))
    EXPECT_EQ(saved[file.key], file.date + " " + file.time + " " + file.date + " " + file.sha256) << file.path;
}

// What fls knows of one MFT record: the paths of all its names (hard links
// give several), its kind, state, unnamed data's size and times.
struct Known {
  std::set<std::string> paths;
  bool folder = false;
  bool deleted = false;
  std::optional<std::uint64_t> size;
  std::string times;  // "modified accessed"
};

// fls lists each named stream or index as "FILE:NAME", the scan the file
// once: only an unnamed entry gives the size. fls's "$OrphanFiles" (the
// nameless reserved records 16-23) the scan does not list.
std::map<std::uint32_t, Known> FlsByRecord(const Cell& c) {
  std::map<std::uint32_t, Known> known;
  for (const test::FlsItem& item : test::Fls(Raw(c), Start(c))) {
    if (item.path.rfind("$OrphanFiles", 0) == 0) continue;
    const auto colon = item.path.find(':');
    Known& k = known[item.record];
    k.paths.insert(item.path.substr(0, colon));
    k.folder = item.folder;
    k.deleted = item.deleted;
    k.times = item.modified + " " + item.accessed;
    if (colon == std::string::npos && !item.folder) k.size = item.size;
  }
  return known;
}

// Every record fls knows is listed once, under one of its paths, and nothing
// else but the empty "Lost Dir" (no extension record on its own: fls lists
// a hard-linked file's other names under its base record).
void ExpectNtfsListing(const std::vector<ScanItem>& items, const std::map<std::uint32_t, Known>& known) {
  std::set<std::uint32_t> seen;
  for (const ScanItem& item : items) {
    if (item.id == kLostDirId) {
      EXPECT_EQ(item.path, "Lost Dir");
      continue;
    }
    EXPECT_NE(item.path.rfind("Lost Dir/", 0), 0u) << "nothing is lost on the intact volume: " << item.path;
    const auto it = known.find(item.id);
    if (it == known.end()) {
      ADD_FAILURE() << "the scan lists record " << item.id << " (" << item.path << "), fls does not";
      continue;
    }
    EXPECT_TRUE(seen.insert(item.id).second) << "record " << item.id << " listed twice: " << item.path;
    EXPECT_EQ(it->second.paths.count(item.path), 1u) << "record " << item.id << " listed as " << item.path
                                                     << ", fls names it " << *it->second.paths.begin();
    EXPECT_EQ(item.folder, it->second.folder) << item.path;
    EXPECT_EQ(item.deleted, it->second.deleted) << item.path;
    if (!item.folder && it->second.size) { EXPECT_EQ(item.size, *it->second.size) << item.path; }
  }
  for (const auto& [record, k] : known) EXPECT_TRUE(seen.count(record)) << "the scan misses " << *k.paths.begin();
}

void ExpectNtfsCell(const Cell& c) {
  test::VolumeScan scan(Image(c));
  ASSERT_TRUE(scan.result.Usable());
  EXPECT_EQ(scan.result.message, QuickScanTexts::kFound);
  test::ExpectParamsMatchFsstat(scan.result.params, test::Fsstat(Raw(c), Start(c)), Start(c));
  const auto known = FlsByRecord(c);
  ASSERT_GT(known.size(), 2000u);
  ExpectNtfsListing(scan.Items(), known);

  // Everything saved: each file with unnamed data as the manifests have it
  // (a hard-linked file under one of its names), or else as icat reads it
  // (the system files), with fls's times. Left out: $MFT's times, which the
  // scan does not read (it shows 1601; istat reads 2076-11-29 on this disk).
  test::TempDir dir;
  EXPECT_TRUE(scan.SaveAll(dir.Path()).Complete());
  std::map<std::string, std::string> times;
  for (const ScanItem& item : scan.Items())
    if (!item.folder && known.count(item.id) && known.at(item.id).size)
      times[item.path] = test::FileTimeUtc(dir / item.path, false) + " " + test::FileTimeUtc(dir / item.path, true);
  const auto sums = test::Sha256Tree(dir.Path());
  std::map<std::uint32_t, std::string> want;  // record -> sha256
  for (const char* manifest : {"live.manifest", "deleted.manifest"})
    for (const auto& entry : test::ReadNtfsManifest(manifest)) want[entry.record] = entry.sha256;
  std::size_t system = 0;
  for (const ScanItem& item : scan.Items()) {
    if (!times.count(item.path)) continue;
    const auto sum = sums.find(item.path);
    if (sum == sums.end()) {
      ADD_FAILURE() << item.path << " was not saved";
      continue;
    }
    if (!want.count(item.id)) {
      EXPECT_EQ(item.path[item.path.rfind('/') == std::string::npos ? 0 : item.path.rfind('/') + 1], '$') << item.path;
      want[item.id] = test::Sha256Bytes(test::Icat(Raw(c), Start(c), item.id));
      ++system;
    }
    EXPECT_EQ(sum->second, want[item.id]) << item.path;
    if (item.path != "$MFT") { EXPECT_EQ(times[item.path], known.at(item.id).times) << item.path; }
  }
  EXPECT_GE(system, 8u);  // $MFT, $MFTMirr, $LogFile, $AttrDef, $Bitmap, $Boot, $UpCase, ...
  EXPECT_EQ(sums.size(), times.size());
}

void ExpectExtCell(const Cell& c) {
  test::VolumeScan scan(Image(c));
  EXPECT_EQ(scan.partition.code, kExt4);
  test::ExpectListedAsFls(scan, Raw(c), Start(c));
  test::ExpectSavedAsSource(scan, Raw(c), Start(c), true);
}

class ContainerMatrixTest : public ::testing::TestWithParam<Cell> {};

TEST_P(ContainerMatrixTest, OpensListsSavesAndReadsAsTheOracles) {
  const Cell& c = GetParam();
  {
    VirtualDisk disk;
    const OpenResult opened = OpenImage(disk, Image(c), true);
    ASSERT_TRUE(opened.Usable()) << opened.message;
    const std::string container = c.container;
    EXPECT_EQ(disk.Size(), test::QemuInfo(Image(c), container == "raw" ? "raw" : container == "vhdx" ? "vhdx" : "vpc")
                               .virtualSize);
  }
  if (IsNtfs(c))
    ExpectNtfsCell(c);
  else if (IsExt(c))
    ExpectExtCell(c);
  else
    ExpectFatCell(c);
}

std::vector<Cell> Cells() {
  std::vector<Cell> cells;
  for (const char* disk : {"fat16", "fat16-32k", "fat32", "fat32-4k", "ntfs", "ext4-gpt"})
    for (const char* container : {"raw", "fixed", "dynamic", "vhdx"}) cells.push_back({disk, container});
  return cells;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ContainerMatrixTest, ::testing::ValuesIn(Cells()), [](const auto& param) {
  std::string name = std::string(param.param.disk) + "_" + param.param.container;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

}  // namespace
}  // namespace dravik
