// How a file-system scan's result is shown: as a tree, one line an item or
// JSON; and how it is saved with --recover.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Progress.h"
#include "cli/SaveReport.h"
#include "cli/ScanShared.h"
#include "disk/SectorReader.h"
#include "fs/ResultTree.h"
#include "save/SaveDriver.h"
#include "util/Utf.h"

namespace dravik::cli {

namespace {

struct Item {
  bool folder;
  std::u16string path;
  const ListRow* row;
};

// Every item in tree order: a folder, its files, then its sub-folders.
void WalkItems(const ResultTree& tree, const FilterList& filter, const std::function<void(const Item&, int)>& visit) {
  std::function<void(std::size_t, int)> walk = [&](std::size_t node, int depth) {
    const std::u16string base = tree.PathOf(node);
    const auto rows = tree.ShowFolder(tree.Node(node).folderId, filter);
    std::unordered_map<std::uint64_t, const ListRow*> folderRows;
    for (const ListRow& row : rows) {
      if (row.kind == ListRow::Kind::kFolder) folderRows.emplace(row.id, &row);
      if (row.kind == ListRow::Kind::kFile) visit({false, base.empty() ? row.name : base + u"/" + row.name, &row}, depth);
    }
    for (const std::size_t child : tree.Node(node).children) {
      if (const auto it = folderRows.find(child); it != folderRows.end()) visit({true, tree.PathOf(child), it->second}, depth);
      walk(child, depth + 1);
    }
  };
  walk(ResultTree::kRoot, 0);
}

// Whether a file was read through an older copy of its record in the
// journal.
bool FromJournal(const Item& item, const RecoveryStore& store) {
  return !item.folder && item.row->record < store.Files().size() && store.Files()[item.row->record].fromJournal;
}

void PrintTree(const ResultTree& tree, const RecoveryStore& store, const FilterList& filter) {
  std::printf("Root/\n");
  WalkItems(tree, filter, [&](const Item& item, int depth) {
    const std::string indent(static_cast<std::size_t>(depth + 1) * 2, ' ');
    const std::string name = ToUtf8(item.row->name);
    const char* deleted = FromJournal(item, store) ? "  [deleted, from the journal]" : item.row->deleted ? "  [deleted]" : "";
    if (item.folder)
      std::printf("%s%s/%s\n", indent.c_str(), name.c_str(), deleted);
    else
      std::printf("%s%s  (%llu bytes)%s\n", indent.c_str(), name.c_str(),
                  static_cast<unsigned long long>(item.row->size.value_or(0)), deleted);
  });
}

std::string IsoOrDash(const std::optional<UnixTime>& time) { return time ? IsoUtcText(*time) : "-"; }

void PrintList(const ResultTree& tree, const RecoveryStore& store, const FilterList& filter) {
  WalkItems(tree, filter, [&](const Item& item, int) {
    const char* state = FromJournal(item, store) ? "deleted (journal)" : item.row->deleted ? "deleted" : "live";
    std::printf("%s\t%s\t%s\t%s\t%s\n", item.folder ? "folder" : "file", state,
                item.folder ? "-" : std::to_string(item.row->size.value_or(0)).c_str(),
                IsoOrDash(item.row->modifiedAt).c_str(), ToUtf8(item.path).c_str());
  });
}

void AddMoment(JsonObject& json, std::string_view key, const std::optional<UnixTime>& time) {
  if (time)
    json.Add(key, IsoUtcText(*time));
  else
    json.AddRaw(key, "null");
}

void PrintJson(const ResultTree& tree, const RecoveryStore& store, const FilterList& filter) {
  std::string items;
  WalkItems(tree, filter, [&](const Item& item, int) {
    JsonObject json;
    json.Add("kind", item.folder ? "folder" : "file").Add("path", ToUtf8(item.path)).Add("name", ToUtf8(item.row->name));
    if (!item.folder) json.Add("size", item.row->size.value_or(0));
    std::uint64_t id = item.row->id;
    if (item.folder) id = store.Folders()[item.row->record].id;
    json.Add("deleted", item.row->deleted).Add("id", id).Add("created", item.row->created).Add("modified", item.row->modified);
    if (FromJournal(item, store)) json.Add("journal", true);
    AddMoment(json, "createdUtc", item.row->createdAt);
    AddMoment(json, "modifiedUtc", item.row->modifiedAt);
    if (!items.empty()) items += ",";
    items += json.Str();
  });
  std::printf("{\"items\":[%s]}\n", items.c_str());
}


// Checks what --select names: folders by their path, files by folder path
// and name. False (with a message) when a path names nothing.
bool SelectPaths(ResultTree& tree, const std::vector<std::string>& paths) {
  tree.SetCheck(ResultTree::kRoot, false);
  for (const std::string& text : paths) {
    std::u16string path = FromUtf8(text);
    while (!path.empty() && path.back() == u'/') path.pop_back();
    while (!path.empty() && path.front() == u'/') path.erase(0, 1);
    if (const auto node = tree.FindFolder(path); node && *node != ResultTree::kRoot) {
      tree.SetCheck(*node, true);
      continue;
    }
    const auto slash = path.rfind(u'/');
    const std::u16string folderPath = slash == std::u16string::npos ? u"" : path.substr(0, slash);
    const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    bool found = false;
    if (const auto folder = tree.FindFolder(folderPath)) {
      for (const ListRow& row : tree.ShowFolder(tree.Node(*folder).folderId, FilterList{})) {
        if (row.kind == ListRow::Kind::kFile && row.name == name) {
          tree.CheckFile(row.id, true);
          found = true;
        }
      }
    }
    if (!found) {
      std::fprintf(stderr, "dravik: --select %s: no such folder or file in the scan result\n", text.c_str());
      return false;
    }
  }
  return true;
}


// Saves what is selected (or, without a selection, everything: every folder
// and the root's files) and says how many files were saved whole. Fails when
// the destination cannot be made, or when any file could not be saved whole.
int Recover(const ScanOptions& options, const SectorReader& reader, ScanResult& result, ProgressLine& progress) {
  const RecoveryStore& store = *result.store;
  ResultTree& tree = *result.tree;
  if (!options.selected.empty()) {
    if (!SelectPaths(tree, options.selected)) return kExitFailed;
  } else {
    for (const std::uint64_t key : tree.FilesOf(tree.RootId())) tree.CheckFile(key, true);
  }
  if (const auto failure = MakeFolderPath(*options.destination)) {
    const std::string reason = std::strerror(failure->error);
    if (failure->path == std::filesystem::path(*options.destination))
      std::fprintf(stderr, "dravik: cannot save into %s: %s\n", options.destination->c_str(), reason.c_str());
    else
      std::fprintf(stderr, "dravik: cannot save into %s: cannot make the folder %s: %s\n",
                   options.destination->c_str(), failure->path.c_str(), reason.c_str());
    return kExitFailed;
  }
  const SelectedFiles selected = CountSelected(store, tree, options.settings, options.filter);
  SaveControl saveControl(progress.SaveSink(selected.files, selected.bytes));
  const SaveContext context{reader, result.params, options.settings, options.filter, saveControl, options.image};
  return EndSave(options, SaveCheckedTree(context, store, tree, *options.destination), progress);
}


}  // namespace

int ShowScanResult(const ScanOptions& options, const SectorReader* reader, ScanResult& result,
                   ProgressLine& progress) {
  if (options.json)
    PrintJson(*result.tree, *result.store, options.filter);
  else if (options.list)
    PrintList(*result.tree, *result.store, options.filter);
  else if (!options.destination)
    PrintTree(*result.tree, *result.store, options.filter);
  if (!options.destination) return kExitOk;
  if (!reader) {
    std::fprintf(stderr, "dravik: --recover reads the files from the image: give the IMAGE as well\n");
    return kExitUsage;
  }
  return Recover(options, *reader, result, progress);
}

}  // namespace dravik::cli
