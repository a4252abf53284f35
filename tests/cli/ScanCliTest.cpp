// dravik scan quick on the FAT fixtures: the JSON listing, recovery of the
// whole volume, of selected folders and files, the deleted and filter
// options, and wrong usage.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <algorithm>

#include "FatFixtures.h"
#include "TestFiles.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

using test::Dravik;

struct JsonItem {
  std::string kind, path, name, created, modifiedUtc;
  std::uint64_t size = 0;
  bool deleted = false;
};

// The items of the JSON listing as Python's json module reads them (which
// also proves the output valid JSON), one tab-separated line per item.
std::vector<JsonItem> ScanJson(const fs::path& image) {
  const std::string reader =
      "import json, sys\n"
      "for o in json.load(sys.stdin)['items']:\n"
      "    assert 'id' in o and 'modified' in o and o['createdUtc'] is None, o['path']\n"
      "    print('\\t'.join([o['kind'], o['path'], o['name'], o['created'], str(o.get('size', 0)),\n"
      "                     '1' if o['deleted'] else '0', o['modifiedUtc'] or '-']))\n";
  const auto result = RunShell(Dravik("scan quick --json --quiet " + Quote(image)) +
                               " 2>/dev/null | python3 -c " + Quote(reader));
  EXPECT_EQ(result.status, 0) << "the listing is no valid JSON or lacks a field";
  std::vector<JsonItem> items;
  std::size_t from = 0;
  while (from < result.out.size()) {
    const std::size_t end = result.out.find('\n', from);
    std::vector<std::string> fields;
    for (std::size_t at = from; at <= end;) {
      const std::size_t tab = std::min(result.out.find('\t', at), end);
      fields.push_back(result.out.substr(at, tab - at));
      at = tab + 1;
    }
    from = end + 1;
    if (fields.size() != 7) {
      ADD_FAILURE() << "unexpected line from the JSON reader";
      continue;
    }
    items.push_back({fields[0], fields[1], fields[2], fields[3], fields[6], std::stoull(fields[4]), fields[5] == "1"});
  }
  return items;
}

// Canonical paths of the items: each level's deleted flag from its folder item.
std::map<std::string, const JsonItem*> ByKey(const std::vector<JsonItem>& items) {
  std::map<std::string, bool> deletedByPath;
  for (const auto& item : items) deletedByPath[item.path] = item.deleted;
  std::map<std::string, const JsonItem*> byKey;
  for (const auto& item : items) {
    std::vector<test::PathLevel> levels;
    std::string prefix;
    std::size_t from = 0;
    while (from <= item.path.size()) {
      std::size_t to = item.path.find('/', from);
      if (to == std::string::npos) to = item.path.size();
      const std::string name = item.path.substr(from, to - from);
      prefix += (prefix.empty() ? "" : "/") + name;
      levels.push_back({name, deletedByPath[prefix]});
      from = to + 1;
    }
    byKey[test::CanonicalPath(levels, test::NameSource::kScan)] = &item;
  }
  return byKey;
}

// "dd-mm-yyyy " of "yyyy-mm-dd".
std::string ListDate(const std::string& iso) { return iso.substr(8, 2) + "-" + iso.substr(5, 2) + "-" + iso.substr(0, 4) + " "; }

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Runs a recovery; returns the count its last line gives, and in leftOut
// how many checked files it says the filters left out (0 when it says none).
long Recover(const fs::path& image, const fs::path& dir, const std::string& options, long* leftOut = nullptr) {
  const auto result =
      RunShell(Dravik("scan quick --quiet " + Quote(image) + " --recover " + Quote(dir) + " " + options + " 2>/dev/null"));
  EXPECT_EQ(result.status, 0) << options;
  const std::string middle = " files saved into " + dir.string();
  const std::size_t at = result.out.rfind(middle);
  if (at == std::string::npos || result.out.back() != '\n') {
    ADD_FAILURE() << "no closing count line: " << result.out;
    return -1;
  }
  const std::string rest = result.out.substr(at + middle.size());
  long filtered = 0;
  if (rest != "\n" && std::sscanf(rest.c_str(), "; the filters left out %ld checked file", &filtered) != 1)
    ADD_FAILURE() << "the count line ends in " << rest;
  if (leftOut) *leftOut = filtered;
  const std::size_t start = at == 0 ? std::string::npos : result.out.rfind('\n', at - 1);
  return std::stol(result.out.substr(start == std::string::npos ? 0 : start + 1));
}

TEST(ScanCliTest, JsonListsTheManifestFilesWithSizesTimesAndDeletedFlags) {
  const auto items = ScanJson(test::FatFixture("fat32.vhd"));
  const auto byKey = ByKey(items);
  std::size_t checked = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    SCOPED_TRACE(file.path);
    const auto it = byKey.find(file.key);
    ASSERT_NE(it, byKey.end()) << "not listed";
    EXPECT_EQ(it->second->kind, "file");
    EXPECT_EQ(it->second->size, file.size);
    EXPECT_EQ(it->second->deleted, file.deleted);
    EXPECT_EQ(it->second->created, ListDate(file.date));
    EXPECT_EQ(it->second->modifiedUtc, file.date + "T" + file.time + "Z");
    EXPECT_EQ(it->second->name, it->second->path.substr(it->second->path.rfind('/') + 1));
    ++checked;
  }
  EXPECT_GT(checked, 850u);
  // Every folder a manifest file sits in is listed as a folder.
  for (const auto& file : test::ReadManifest("fat32")) {
    const auto slash = file.key.rfind('/');
    if (slash == std::string::npos) continue;
    const auto it = byKey.find(file.key.substr(0, slash));
    ASSERT_NE(it, byKey.end()) << file.path;
    EXPECT_EQ(it->second->kind, "folder");
  }
}

TEST(ScanCliTest, RecoverWritesEveryFileWithItsContent) {
  test::TempDir dir;
  const fs::path out = dir / "recovered";  // made by the command
  const long count = Recover(test::FatFixture("fat32.vhd"), out, "");
  const auto saved = test::HashTree(out);
  EXPECT_EQ(count, static_cast<long>(saved.size()));
  std::map<std::string, std::string> byKey;
  for (const auto& [path, sha] : saved) byKey[test::CanonicalSavedPath(path)] = sha;
  std::size_t checked = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    if (file.size == 0) continue;
    const auto it = byKey.find(file.key);
    ASSERT_NE(it, byKey.end()) << file.path << " not saved";
    EXPECT_EQ(it->second, file.sha256) << file.path;
    ++checked;
  }
  EXPECT_GT(checked, 850u);
}

TEST(ScanCliTest, SelectRecreatesAFolderWithItsPathOrWritesAFileFlat) {
  const auto image = test::FatFixture("fat16.vhdx");
  const auto manifest = test::ReadManifest("fat16");
  const auto sha = [&](const std::string& path) {
    for (const auto& f : manifest)
      if (f.path == path) return f.sha256;
    return std::string("missing");
  };

  test::TempDir folder;
  EXPECT_EQ(Recover(image, folder.Path(), "--select 'Docs/Sub Folder'"), 1);
  EXPECT_EQ(test::ListTree(folder.Path()), (std::vector<std::string>{"Docs", "Docs/Sub Folder", "Docs/Sub Folder/Deep",
                                                                      "Docs/Sub Folder/Deep/deeper file.txt"}));
  EXPECT_EQ(test::HashTree(folder.Path())["Docs/Sub Folder/Deep/deeper file.txt"], sha("Docs/Sub Folder/Deep/deeper file.txt"));

  test::TempDir file;
  EXPECT_EQ(Recover(image, file.Path(), "--select /Docs/Report.txt --select 'Docs/日本.txt'"), 2);
  EXPECT_EQ(test::HashTree(file.Path()), (std::map<std::string, std::string>{{"Report.txt", sha("Docs/Report.txt")},
                                                                             {"日本.txt", sha("Docs/日本.txt")}}));
  EXPECT_EQ(test::ListTree(file.Path()).size(), 2u);

  test::TempDir none;
  const auto missing = RunShell(Dravik("scan quick --quiet " + Quote(image) + " --recover " + Quote(none.Path()) +
                                       " --select Docs/absent.txt 2>/dev/null"));
  EXPECT_EQ(missing.status, 1);
}

TEST(ScanCliTest, DeletedOnlyAndFilterChooseTheFilesSaved) {
  const auto image = test::FatFixture("fat32-4k.vhd");
  const auto items = ScanJson(image);
  const auto byKey = ByKey(items);

  test::TempDir deleted;
  const long count = Recover(image, deleted.Path(), "--deleted only");
  const auto saved = test::HashTree(deleted.Path());
  EXPECT_EQ(count, static_cast<long>(saved.size()));
  std::set<std::string> expected, got;
  for (const auto& [key, item] : byKey)
    if (item->kind == "file" && item->deleted) expected.insert(key);
  for (const auto& [path, sha] : saved) got.insert(test::CanonicalSavedPath(path));
  EXPECT_EQ(got, expected);
  for (const auto& file : test::ReadManifest("fat32-4k")) {
    if (!file.deleted) continue;
    for (const auto& [path, sha] : saved) {
      if (test::CanonicalSavedPath(path) == file.key) {
        EXPECT_EQ(sha, file.sha256) << file.path;
      }
    }
  }

  test::TempDir filtered;
  long leftOut = -1;
  const long txt = Recover(image, filtered.Path(), "--filter '*.txt'", &leftOut);
  expected.clear();
  got.clear();
  long others = 0;
  for (const auto& [key, item] : byKey) {
    const std::string name = Lower(item->name);
    if (item->kind != "file") continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0)
      expected.insert(key);
    else
      ++others;
  }
  for (const auto& [path, sha] : test::HashTree(filtered.Path())) got.insert(test::CanonicalSavedPath(path));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(txt, static_cast<long>(expected.size()));
  EXPECT_GT(expected.size(), 10u);
  EXPECT_EQ(leftOut, others) << "every checked file that is no .txt is counted as left out";
  EXPECT_GT(others, 0);

  // A filter nothing matches saves nothing, says so and fails.
  test::TempDir none;
  const auto nothing = RunShell(Dravik("scan quick --quiet " + Quote(image) + " --recover " + Quote(none.Path()) +
                                       " --filter '*.nomatch'") + " 2>&1");
  EXPECT_EQ(nothing.status, 1);
  EXPECT_NE(nothing.out.find("0 files saved into " + none.Path().string() + "; the filters left out " +
                             std::to_string(expected.size() + static_cast<std::size_t>(others)) + " checked files\n"),
            std::string::npos)
      << nothing.out;
  EXPECT_NE(nothing.out.find("dravik: nothing was saved: the filters left out all"), std::string::npos) << nothing.out;
  EXPECT_TRUE(test::HashTree(none.Path()).empty());
}

TEST(ScanCliTest, AVolumeWithNothingToSaveIsNoSuccess) {
  // A FAT16 volume as mkfs.fat leaves it: no file at all.
  test::TempDir dir;
  const fs::path raw = dir / "empty.raw";
  const fs::path image = dir / "empty.vhd";
  const auto made = RunShell("truncate -s 8M " + Quote(raw) + " && mkfs.fat -F 16 -s 1 " + Quote(raw) +
                             " >/dev/null && qemu-img convert -f raw -O vpc " + Quote(raw) + " " + Quote(image) + " 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const auto run = RunShell(Dravik("scan quick --quiet " + Quote(image) + " --recover " + Quote(dir / "out")) + " 2>&1");
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("0 files saved into " + (dir / "out").string() + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("dravik: nothing was saved: there are no files to save\n"), std::string::npos) << run.out;
}

TEST(ScanCliTest, WrongOptionsExitWithUsageStatus) {
  const auto image = Quote(test::FatFixture("fat16.vhd"));
  test::TempDir dir;
  const std::string recover = " --recover " + Quote(dir.Path());
  for (const std::string& options :
       {std::string("--deleted maybe") + recover, std::string("--duplicates sometimes") + recover,
        std::string("--select Docs"), std::string("--list --json"), std::string("--filter ") + std::string(20, 'a'),
        std::string("--partition x"), std::string("--bogus")}) {
    const auto result = RunShell(Dravik("scan quick " + image + " " + options + " 2>/dev/null"));
    EXPECT_EQ(result.status, 2) << options;
  }
  EXPECT_TRUE(test::ListTree(dir.Path()).empty()) << "nothing is written on wrong usage";
  // A filter of 19 characters is accepted.
  const auto ok = RunShell(Dravik("scan quick --quiet --list " + image + " --filter " + std::string(19, 'a') + " 2>/dev/null"));
  EXPECT_EQ(ok.status, 0);
  // --partition past the table fails without being a usage error.
  EXPECT_EQ(RunShell(Dravik("scan quick --quiet " + image + " --partition 3 2>/dev/null")).status, 1);
}

}  // namespace
}  // namespace dravik
