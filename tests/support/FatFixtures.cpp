#include "FatFixtures.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <string_view>
#include <unordered_map>

#include "util/Utf.h"

namespace dravik::test {

namespace fs = std::filesystem;

namespace {

bool IsShortNameChar(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'()-@^_`{}~").find(c) != std::string_view::npos;
}

// Letters all upper or all lower case.
bool OneCase(std::string_view part) {
  const bool upper = std::any_of(part.begin(), part.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  const bool lower = std::any_of(part.begin(), part.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  return !(upper && lower);
}

// A name a short entry can hold on its own, with the case flags some
// creators set: 8.3, short-name characters, each part in one case.
bool ShortOnlyForm(std::string_view name) {
  const std::size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (dot != std::string_view::npos && ext.empty()) return false;
  if (!std::all_of(base.begin(), base.end(), IsShortNameChar)) return false;
  if (!std::all_of(ext.begin(), ext.end(), IsShortNameChar)) return false;
  return OneCase(base) && OneCase(ext);
}

// Who shows a name, and so what stands first in a deleted short name.
enum class NameSource { kScan, kFls, kManifest };
struct PathLevel {
  std::string name;
  bool deleted = false;
};

// A deleted short name whose first character is not the one its source puts
// there keeps its form, so it matches nothing.
std::string CanonicalName(std::string_view name, bool deleted, NameSource source) {
  if (deleted && !name.empty()) {
    const std::string rest(name.substr(1));
    const bool markOk = source == NameSource::kManifest || name[0] == (source == NameSource::kScan ? 'x' : '_');
    if (ShortOnlyForm("_" + rest)) return markOk ? "x" + rest : std::string(name);
  }
  return std::string(name);
}

std::string CanonicalPath(const std::vector<PathLevel>& levels, NameSource source) {
  std::string path;
  for (const PathLevel& level : levels)
    path += (path.empty() ? "" : "/") + CanonicalName(level.name, level.deleted, source);
  return path;
}

}  // namespace

fs::path FatFixture(const std::string& name) { return FixtureIn("fat", name); }

std::uint32_t FatStart(const std::string& disk) {
  std::ifstream in(FatFixture(disk + ".layout"));
  std::uint32_t start = 0;
  in >> start;
  if (!in) ADD_FAILURE() << "unreadable layout of " << disk;
  return start;
}

std::string CanonicalSavedPath(const std::string& relative) {
  std::vector<PathLevel> levels;
  for (const std::string& name : Split(relative, '/')) levels.push_back({name, false});
  return CanonicalPath(levels, NameSource::kScan);
}

std::vector<ManifestFile> ReadManifest(const std::string& disk) {
  std::ifstream in(FatFixture(disk + ".manifest"));
  std::vector<ManifestFile> files;
  std::string line;
  while (std::getline(in, line)) {
    const auto f = Split(line, '\t');
    ManifestFile file;
    std::vector<PathLevel> levels;
    std::size_t next = 0;
    if (f.size() == 6 && f[0] == "live") {
      file.path = f[1];
      for (const std::string& name : Split(f[1], '/')) levels.push_back({name, false});
      next = 2;
    } else if (f.size() == 7 && f[0] == "deleted") {
      file.deleted = true;
      file.path = f[1].empty() ? f[2] : f[1] + "/" + f[2];
      if (!f[1].empty())
        for (const std::string& name : Split(f[1], '/')) levels.push_back({name, false});
      for (const std::string& name : Split(f[2], '/')) levels.push_back({name, true});
      next = 3;
    } else {
      ADD_FAILURE() << "bad manifest line of " << disk << ": " << line;
      continue;
    }
    file.size = std::stoull(f[next]);
    file.sha256 = f[next + 1];
    file.date = f[next + 2];
    file.time = f[next + 3];
    file.key = CanonicalPath(levels, NameSource::kManifest);
    files.push_back(std::move(file));
  }
  if (files.empty()) ADD_FAILURE() << "empty manifest of " << disk;
  return files;
}

ResultTree WholeTree(RecoveryStore& store) {
  ResultTree tree = ResultTree::Build(store, FsFamily::kFat);
  tree.CheckEverything();
  return tree;
}

std::vector<ListedItem> ScanItems(const RecoveryStore& store, std::uint32_t rootId) {
  const auto& folders = store.Folders();
  std::unordered_map<std::uint32_t, std::size_t> byId;
  for (std::size_t i = 0; i < folders.size(); ++i) byId.emplace(folders[i].id, i);
  // The levels above an item: its parent folder and that folder's parents.
  const auto levelsOf = [&](std::uint32_t parentId) {
    std::vector<PathLevel> levels;
    for (std::size_t steps = 0; parentId != rootId && steps <= folders.size(); ++steps) {
      const auto it = byId.find(parentId);
      if (it == byId.end()) {
        levels.push_back({"?", false});
        break;
      }
      levels.push_back({ToUtf8(folders[it->second].name), folders[it->second].deleted});
      parentId = folders[it->second].parentId;
    }
    std::reverse(levels.begin(), levels.end());
    return levels;
  };
  const auto item = [](std::vector<PathLevel> levels, PathLevel own, bool folder, std::uint64_t size) {
    levels.push_back(std::move(own));
    ListedItem listed;
    listed.key = CanonicalPath(levels, NameSource::kScan);
    for (const PathLevel& level : levels) listed.path += (listed.path.empty() ? "" : "/") + level.name;
    listed.deleted = levels.back().deleted;
    listed.folder = folder;
    listed.size = size;
    return listed;
  };
  std::vector<ListedItem> items;
  for (const FolderRecord& f : folders) items.push_back(item(levelsOf(f.parentId), {ToUtf8(f.name), f.deleted}, true, 0));
  for (const FileRecord& f : store.Files())
    items.push_back(item(levelsOf(f.parentId), {ToUtf8(f.name), f.deleted}, false, f.size));
  return items;
}

std::vector<ListedItem> FlsItems(const fs::path& raw, std::uint32_t start) {
  const auto rows = Fls(raw, start);
  std::unordered_map<std::string, bool> deletedByPath;
  for (const FlsItem& row : rows) deletedByPath[row.path] = row.deleted;
  std::vector<ListedItem> items;
  for (const FlsItem& row : rows) {
    const std::string name = row.path.substr(row.path.rfind('/') + 1);
    if (row.virtualEntry || row.path.rfind("$OrphanFiles", 0) == 0 || name == "." || name == ".." ||
        name.find("(Volume Label Entry)") != std::string::npos)
      continue;
    std::vector<PathLevel> levels;
    std::string prefix;
    for (const std::string& level : Split(row.path, '/')) {
      prefix += (prefix.empty() ? "" : "/") + level;
      const auto it = deletedByPath.find(prefix);
      levels.push_back({level, it != deletedByPath.end() && it->second});
    }
    items.push_back({CanonicalPath(levels, NameSource::kFls), row.path, row.deleted, row.folder, row.size});
  }
  return items;
}

std::vector<std::string> ListTree(const fs::path& dir) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error); it != fs::recursive_directory_iterator();
       it.increment(error))
    entries.push_back(fs::relative(it->path(), dir).generic_string());
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string FileTimeUtc(const fs::path& path, bool access) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  std::tm tm{};
  ::gmtime_r(access ? &st.st_atime : &st.st_mtime, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace dravik::test
