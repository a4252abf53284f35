#include "ExtFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <algorithm>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

#include "Oracles.h"
#include "util/Bytes.h"
#include "util/Utf.h"

namespace dravik::test {

namespace fs = std::filesystem;

fs::path ExtFixture(const std::string& name) { return FixtureIn("ext", name); }

std::vector<ExtManifestEntry> ReadExtManifest(const std::string& name) {
  std::ifstream in(ExtFixture(name), std::ios::binary);
  std::vector<ExtManifestEntry> entries;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    ExtManifestEntry e;
    fields >> e.size >> e.mtime >> e.mtimeNs >> e.sha256;
    fields.get();
    std::getline(fields, e.path);
    entries.push_back(e);
  }
  EXPECT_GT(entries.size(), 100u) << name << " lists too little";
  return entries;
}

namespace {

// Names as the engine shows them: bytes that are not UTF-8 become U+FFFD.
std::string Shown(const std::string& bytes) { return ToUtf8(FromUtf8(bytes)); }

// deleted.list: the paths deleted in every image.
std::vector<std::string> ExtDeletedPaths() {
  std::ifstream in(ExtFixture("deleted.list"));
  std::vector<std::string> paths;
  for (std::string line; std::getline(in, line);) paths.push_back(line);
  return paths;
}

}  // namespace

void ExpectListedAsFls(const VolumeScan& scan, const fs::path& raw, std::uint64_t start) {
  ASSERT_TRUE(scan.result.Usable()) << scan.result.message;
  EXPECT_TRUE(scan.result.foldersNotReadWhole.empty());
  // The counts the progress and Drive Information show are of what is listed.
  EXPECT_EQ(scan.store.folderCount, scan.store.Folders().size());
  EXPECT_EQ(scan.store.fileCount, scan.store.Files().size());
  std::multiset<std::string> want;
  for (const FlsItem& item : Fls(raw, start)) {
    // fls reads an htree's index blocks as entries ("-/-" names); the
    // virtual $OrphanFiles folder is its own; a deleted name whose inode
    // number was cleared names nothing to recover, and one whose inode is in
    // use again names what is listed under its live name: neither is listed.
    if (item.virtualEntry || item.path.find("$OrphanFiles") == 0 || item.path.find('^') != std::string::npos ||
        (item.deleted && (item.record == 0 || item.reallocated)))
      continue;
    want.insert(ShowItem(item.folder, item.deleted, item.record, Shown(item.path), item.size));
  }
  ExpectSameListing(Listing(scan.Items()), want);
  // Nothing is lost on an intact volume.
  for (const ScanItem& item : scan.Items())
    EXPECT_NE(item.path.rfind(ToUtf8(kLostDirName) + "/", 0), 0u) << item.path;
}

void ExpectSavedAsSource(VolumeScan& scan, const fs::path& raw, std::uint64_t start, bool largeInodes) {
  const auto deletedPaths = ExtDeletedPaths();
  TempDir out;
  const SaveSummary summary = scan.SaveAll(out.Path());
  EXPECT_EQ(summary.failed, 0u);
  EXPECT_EQ(summary.incomplete, 0u);
  const auto saved = Sha256Tree(out.Path());
  for (const ExtManifestEntry& entry : ReadExtManifest()) {
    SCOPED_TRACE(entry.path);
    const std::string path = Shown(entry.path);
    const auto it = saved.find(path);
    ASSERT_NE(it, saved.end());
    if (std::find(deletedPaths.begin(), deletedPaths.end(), entry.path) != deletedPaths.end()) {
      // A deleted file is written as its inode still holds it.
      const auto item = scan.Find(path);
      ASSERT_TRUE(item && item->deleted);
      EXPECT_EQ(it->second, Sha256Bytes(Icat(raw, start, item->id)));
      continue;
    }
    EXPECT_EQ(it->second, entry.sha256);
    // Times are kept to 100 ns; 128-byte inodes keep whole seconds, and
    // 2038 (small.txt) needs the epoch bits of a large inode.
    struct stat st {};
    ASSERT_EQ(::stat((out.Path() / path).c_str(), &st), 0);
    if (largeInodes || entry.path != "small.txt") {
      EXPECT_EQ(st.st_mtim.tv_sec, entry.mtime);
      EXPECT_EQ(st.st_mtim.tv_nsec, largeInodes ? entry.mtimeNs / 100 * 100 : 0);
    }
  }
  for (const char* link : {"fast-link", "slow-link"}) {
    const fs::path target = fs::read_symlink(ExtFixture("src") / link);
    const auto bytes = ReadFileBytes(out.Path() / link);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), target.string()) << link;
  }
}

std::string Debugfs(const fs::path& raw, const std::string& request) {
  const CommandResult result = RunShell("debugfs -R " + Quote(request) + " " + Quote(raw) + " 2>/dev/null");
  EXPECT_EQ(result.status, 0) << "debugfs failed: " << request;
  return result.out;
}

namespace {

// The groups of the first match of pattern in debugfs's answer to request.
std::vector<std::string> DebugfsFields(const fs::path& raw, const std::string& request, const std::regex& pattern) {
  const std::string out = Debugfs(raw, request);
  std::smatch m;
  if (!std::regex_search(out, m, pattern)) throw std::runtime_error("debugfs " + request + ": " + out);
  return {m.begin() + 1, m.end()};
}

// inode: an inode as debugfs takes it ("/path" or "<12>").
std::uint64_t ImapOffset(const fs::path& raw, const std::string& inode) {
  static const std::regex located(R"(located at block (\d+), offset 0x([0-9a-fA-F]+))");
  const auto f = DebugfsFields(raw, "imap " + inode, located);
  return std::stoull(f[0]) * BlockSize(raw) + std::stoull(f[1], nullptr, 16);
}

}  // namespace

std::uint32_t BlockSize(const fs::path& raw) {
  static const std::regex blockSize(R"(Block size:\s+(\d+))");
  return static_cast<std::uint32_t>(std::stoul(DebugfsFields(raw, "stats -h", blockSize)[0]));
}

std::uint32_t InodeNumber(const fs::path& raw, const std::string& path) {
  static const std::regex inode(R"(Inode:\s+(\d+))");
  return static_cast<std::uint32_t>(std::stoul(DebugfsFields(raw, "stat /" + path, inode)[0]));
}

std::uint64_t InodeOffset(const fs::path& raw, const std::string& path) { return ImapOffset(raw, "/" + path); }

std::uint64_t InodeOffset(const fs::path& raw, std::uint32_t inode) {
  return ImapOffset(raw, "<" + std::to_string(inode) + ">");
}

std::uint64_t FirstExtentNode(const fs::path& raw, std::uint64_t inodeOffset) {
  constexpr std::uint64_t kFirstIndexLeaf = 0x28 + 12 + 4;  // i_block, past the header, the index's low leaf word
  return le32(BytesAt(raw, inodeOffset + kFirstIndexLeaf, 4), 0);
}

std::uint64_t BlockOf(const fs::path& raw, const std::string& path, std::uint64_t logical) {
  const std::string out = Debugfs(raw, "bmap /" + path + " " + std::to_string(logical));
  return std::stoull(out);
}

}  // namespace dravik::test
