#include "fs/ext/ExtQuickScan.h"

#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "disk/SectorReader.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/Journal.h"
#include "fs/ext/JournalInodes.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik {

namespace {

using ext::DirEntry;
using ext::ExtVolume;
using ext::Inode;

constexpr const char* kScanningText = "Please wait, scanning folders...";
constexpr const char* kLostText = "Please wait, looking for lost files...";

ItemTimes TimesOf(const Inode& inode) {
  return ItemTimes::FileTimes(inode.created ? inode.created->FileTime() : 0, inode.modified.FileTime(),
                              inode.accessed.FileTime());
}

class ExtQuickScanner {
 public:
  ExtQuickScanner(const ExtVolume& volume, RecoveryStore& store, ScanControl& control)
      : volume_(volume), store_(store), control_(control) {}

  std::vector<std::u16string> Run() {
    control_.Report(kScanningText, 0);
    reached_.insert(ext::kRootInode);
    listedFolders_.insert(ext::kRootInode);
    paths_[ext::kRootInode] = u"";
    Queue(ext::kRootInode, false);
    Walk();
    if (control_.StopRequested()) return incomplete_;
    control_.Report(kLostText, 50);
    store_.AddFolder({.name = kLostDirName, .id = kLostDirId, .parentId = ext::kRootInode});
    AddLost();
    return incomplete_;
  }

 private:
  struct Pending {
    std::uint32_t inode;
    bool deleted;
  };

  void Queue(std::uint32_t inode, bool deleted) {
    if (walked_.insert(inode).second) pending_.push_back({inode, deleted});
  }

  void Walk() {
    while (!pending_.empty() && control_.Continue()) {
      const Pending folder = pending_.front();
      pending_.pop_front();
      const auto inode = volume_.ReadInode(folder.inode);
      std::vector<DirEntry> entries;
      const bool whole = inode && inode->IsDirectory() && volume_.ReadDirectory(*inode, entries);
      if (!whole && !folder.deleted) incomplete_.push_back(paths_[folder.inode].empty() ? u"/" : paths_[folder.inode]);
      for (const DirEntry& entry : entries) Add(folder, entry);
      control_.Count(store_.folderCount, store_.fileCount, 0);
    }
  }

  void Add(const Pending& folder, const DirEntry& entry) {
    const bool deleted = folder.deleted || entry.deleted;
    auto inode = volume_.ReadInode(entry.inode);
    // A deleted name whose inode is in use names what lives on under another
    // name (a rename, another link) or what took the inode since: it is
    // listed where its live name leads, or under the lost folder, never under
    // this name with contents that were not its own.
    if (deleted && inode && inode->InUse()) return;
    // A live name vouches for its inode, which is read even when its
    // checksum fails (a damaged time or count should not lose the file); a
    // deleted name does not: an inode that fails is taken for one that did
    // not read.
    if (deleted && inode && !volume_.InodeChecksumHolds(*inode)) inode.reset();
    const bool isFolder = inode && inode->mode != 0 ? inode->IsDirectory() : entry.type == ext::kEntryDirectory;
    std::u16string name = FromUtf8(entry.name);
    // A folder has one live name: one met again (a lost folder listed
    // before its parent was walked, a damaged volume) is not listed twice.
    const bool first = deleted || reached_.insert(entry.inode).second;
    if (isFolder) {
      // Folder ids are the tree's keys: two deleted names of one freed
      // folder (a rename before the delete) list it once.
      if (!first || !listedFolders_.insert(entry.inode).second) return;
      if (!deleted) paths_.emplace(entry.inode, paths_[folder.inode] + u"/" + name);
      store_.AddFolder({.name = std::move(name),
                        .id = entry.inode,
                        .parentId = folder.inode,
                        .times = inode ? TimesOf(*inode) : ItemTimes{},
                        .deleted = deleted});
      if (inode && inode->IsDirectory()) Queue(entry.inode, deleted);
      return;
    }
    AddFile(std::move(name), entry.inode, folder.inode, inode, deleted);
  }

  void AddFile(std::u16string name, std::uint32_t number, std::uint32_t parent, const std::optional<Inode>& inode,
               bool deleted) {
    std::optional<ext::JournalInodes::Found> older;
    if (deleted && ext::NeedsOlderInode(volume_, inode)) older = FromJournal(number, inode);
    const std::optional<Inode>& shown = older ? std::optional<Inode>(older->inode) : inode;
    const std::uint64_t size = shown ? shown->size : 0;
    store_.AddFile({.name = std::move(name),
                    .id = number,
                    .parentId = parent,
                    .times = shown ? TimesOf(*shown) : ItemTimes{},
                    .size = size,
                    .deleted = deleted,
                    .key = store_.Files().size(),
                    .locator = ext::FileLocator(number, older ? older->journalBlock : 0),
                    .fromJournal = older.has_value()});
    ++store_.fileCount;
    store_.totalBytes += size;
  }

  // An older copy of a deleted file's inode from the journal, read the
  // first time a deleted file needs one (a stop meanwhile leaves it unread).
  std::optional<ext::JournalInodes::Found> FromJournal(std::uint32_t number, const std::optional<Inode>& inode) {
    if (!journalTried_) {
      journalTried_ = true;
      std::string why;
      journal_ = ext::Journal::Open(volume_, why, &control_);
      if (journal_) journalInodes_.emplace(volume_, *journal_);
    }
    if (!journalInodes_) return std::nullopt;
    return journalInodes_->Find(number, inode);
  }

  // Inodes in use that no live name reached: folders first (walking them
  // reaches what they hold), then files. Nothing vouches for these but the
  // inode itself: one whose checksum fails (a damaged table, or one never
  // initialised read through a descriptor that lost its flags) is left out.
  void AddLost() {
    std::vector<std::uint32_t> folders, files;
    volume_.ForEachInodeInUse([&](std::uint32_t number, const Inode& inode) {
      if (!reached_.count(number) && volume_.InodeChecksumHolds(inode))
        (inode.IsDirectory() ? folders : files).push_back(number);
      return control_.Continue();
    });
    for (const std::uint32_t number : folders) {
      if (reached_.count(number)) continue;  // reached through a lost folder walked before it
      const auto inode = volume_.ReadInode(number);
      listedFolders_.insert(number);
      store_.AddFolder({.name = u"Dir" + FromUtf8(std::to_string(number)),
                        .id = number,
                        .parentId = kLostDirId,
                        .times = inode ? TimesOf(*inode) : ItemTimes{}});
      reached_.insert(number);
      paths_[number] = std::u16string(u"/") + kLostDirName + u"/Dir" + FromUtf8(std::to_string(number));
      Queue(number, false);
      Walk();
    }
    for (const std::uint32_t number : files) {
      if (reached_.count(number) || control_.StopRequested()) continue;
      AddFile(u"File" + FromUtf8(std::to_string(number)), number, kLostDirId, volume_.ReadInode(number), false);
    }
  }

  const ExtVolume& volume_;
  RecoveryStore& store_;
  ScanControl& control_;
  std::deque<Pending> pending_;
  std::unordered_set<std::uint32_t> walked_;
  std::unordered_set<std::uint32_t> reached_;
  std::unordered_set<std::uint32_t> listedFolders_;
  std::unordered_map<std::uint32_t, std::u16string> paths_;
  std::vector<std::u16string> incomplete_;
  bool journalTried_ = false;
  std::optional<ext::Journal> journal_;
  std::optional<ext::JournalInodes> journalInodes_;  // reads journal_, declared after it
};

}  // namespace

std::vector<std::u16string> ScanExtQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                         ScanControl& control) {
  store.Clear();
  Diagnostics unread;
  const auto volume = ExtVolume::Open(reader, params, unread);
  if (!volume) return {u"/"};
  return ExtQuickScanner(*volume, store, control).Run();
}

}  // namespace dravik
