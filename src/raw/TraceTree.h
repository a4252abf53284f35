#pragma once
// The results of a File Trace as the result views show them: "Root", a
// node per type item and below it a node per extension item, each listing
// the found files it stands for, with check boxes. The check of every found
// file is kept here by its number; a node's state follows from its files.
//
// There is one type item per type name and one extension item per extension
// of its files (both compared without regard to case), in the order they
// first appear among the files, so every file is listed once below its type.

#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "fs/ResultTree.h"
#include "raw/SignatureScan.h"

namespace dravik {

struct TraceExtensionItem {
  std::u16string extension;         // as the first file of it spells it
  std::vector<std::size_t> files;  // indexes into the found files, in the order found
};

struct TraceTypeItem {
  std::u16string typeName;  // as the first file of it spells it
  std::vector<TraceExtensionItem> extensions;
  std::vector<std::size_t> files;  // all of the type, in the order found
};

// The type items of the found files, from one walk over them; a stop ends
// the walk with the items so far.
std::vector<TraceTypeItem> BuildTraceTree(std::span<const FoundFile> files, ScanControl* control = nullptr);

struct TraceNode {
  std::u16string label;
  std::size_t parent = 0;  // the root is its own parent
  std::vector<std::size_t> children;
  std::vector<std::size_t> files;  // indexes into the found files, in the order found
};

class TraceTree {
 public:
  static constexpr std::size_t kRoot = 0;

  // The tree of the found files, every file checked. files must outlive it.
  static TraceTree Build(std::span<const FoundFile> files, ScanControl* control = nullptr);

  const std::vector<TraceNode>& Nodes() const { return nodes_; }
  const TraceNode& Node(std::size_t node) const { return nodes_.at(node); }
  const FoundFile& File(std::size_t index) const { return files_[index]; }

  // Checked when every file of the node is, unchecked when none is.
  CheckState State(std::size_t node) const;
  void SetNode(std::size_t node, bool checked);
  bool FileChecked(std::uint32_t number) const { return checked_.count(number) != 0; }
  void SetFile(std::uint32_t number, bool checked);
  const std::unordered_set<std::uint32_t>& Checked() const { return checked_; }

 private:
  std::span<const FoundFile> files_;
  std::vector<TraceNode> nodes_;
  std::unordered_set<std::uint32_t> checked_;
};

}  // namespace dravik
