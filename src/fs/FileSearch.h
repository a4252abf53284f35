#pragma once
// Find Files over a result: the file records whose names match a pattern,
// each with the path of its folder in the result tree, for a list from which
// the user saves.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"

namespace dravik {

class ScanControl;

struct SearchHit {
  std::u16string name;
  // "Root", "Root/Docs/Sub Folder": the folder as the tree shows it; empty
  // when the file's folder has no node in the tree.
  std::u16string folder;
  std::uint64_t size = 0;
  std::string created;
  std::string modified;
  std::uint64_t id = 0;     // the file's identifier: FAT serial, NTFS record sector
  std::size_t record = 0;   // index in the store's file list of the tree's family
  bool deleted = false;
};

// Walks the file records of the tree's family in the order they were found
// and hands each one whose lower-cased name matches the lower-cased pattern
// (MatchName) to found. Every record of the store is walked: an Extensive
// Scan's extraction keeps only the records that lie within the file system
// shown. Before each record the walk waits at control's pause gate and ends
// there on a stop request. Returns the number of files handed over.
std::size_t SearchFiles(const RecoveryStore& store, const ResultTree& tree, std::u16string_view pattern,
                        ScanControl& control, const std::function<void(SearchHit)>& found);

}  // namespace dravik
