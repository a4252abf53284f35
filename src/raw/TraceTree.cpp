#include "raw/TraceTree.h"

#include <unordered_map>

#include "util/ScanControl.h"

namespace dravik {

namespace {

// Type names and extensions keyed without regard to case.
std::u16string Key(std::u16string_view text) {
  std::u16string key(text);
  for (char16_t& c : key)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return key;
}

// The hits between stop checks while the tree is built.
constexpr std::size_t kFilesPerStopCheck = 4096;

}  // namespace

std::vector<TraceTypeItem> BuildTraceTree(std::span<const FoundFile> files, ScanControl* control) {
  if (control) control->Report(TraceTexts::kTree);
  std::vector<TraceTypeItem> items;
  std::unordered_map<std::u16string, std::size_t> typeOf;
  // Per type item: its extension items by key.
  std::vector<std::unordered_map<std::u16string, std::size_t>> extensionOf;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (control && i % kFilesPerStopCheck == 0 && !control->Continue()) break;
    const FoundFile& file = files[i];
    const auto [type, newType] = typeOf.try_emplace(Key(file.typeName), items.size());
    if (newType) {
      items.push_back({file.typeName, {}, {}});
      extensionOf.emplace_back();
    }
    TraceTypeItem& item = items[type->second];
    const auto [extension, newExtension] =
        extensionOf[type->second].try_emplace(Key(file.extension), item.extensions.size());
    if (newExtension) item.extensions.push_back({file.extension, {}});
    item.extensions[extension->second].files.push_back(i);
    item.files.push_back(i);
  }
  return items;
}

TraceTree TraceTree::Build(std::span<const FoundFile> files, ScanControl* control) {
  TraceTree tree;
  tree.files_ = files;
  TraceNode root{u"Root", kRoot, {}, {}};
  for (std::size_t i = 0; i < files.size(); ++i) root.files.push_back(i);
  tree.nodes_.push_back(std::move(root));
  for (TraceTypeItem& item : BuildTraceTree(files, control)) {
    const std::size_t type = tree.nodes_.size();
    tree.nodes_.push_back({std::move(item.typeName), kRoot, {}, std::move(item.files)});
    tree.nodes_[kRoot].children.push_back(type);
    for (TraceExtensionItem& extension : item.extensions) {
      tree.nodes_[type].children.push_back(tree.nodes_.size());
      tree.nodes_.push_back({std::move(extension.extension), type, {}, std::move(extension.files)});
    }
  }
  for (const FoundFile& file : files) tree.checked_.insert(file.fileNumber);
  return tree;
}

CheckState TraceTree::State(std::size_t node) const {
  std::size_t checked = 0;
  const auto& files = nodes_.at(node).files;
  for (const std::size_t i : files) if (FileChecked(files_[i].fileNumber)) ++checked;
  if (checked == 0) return CheckState::kUnchecked;
  return checked == files.size() ? CheckState::kChecked : CheckState::kPartial;
}

void TraceTree::SetNode(std::size_t node, bool checked) {
  for (const std::size_t i : nodes_.at(node).files) SetFile(files_[i].fileNumber, checked);
}

void TraceTree::SetFile(std::uint32_t number, bool checked) {
  if (checked)
    checked_.insert(number);
  else
    checked_.erase(number);
}

}  // namespace dravik
