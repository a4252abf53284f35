// The ext2/ext3/ext4 Quick Scan and save against Sleuth Kit, debugfs and the source folder's manifests, on the
// volumes of make-ext-fixtures.sh, their damaged copies, and deleted files brought back through the jbd2 journal (a
// checksum formula gone wrong fails the intact volumes' listings and saves here and in the matrix).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>

#include "Bytes.h"
#include "ExtFixtures.h"
#include "Oracles.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/ext/DirEntries.h"
#include "fs/ext/ExtQuickScan.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/Journal.h"
#include "fs/ext/JournalInodes.h"
#include "snapshot/Snapshot.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ExtFixture;
using test::ScanItem;
using test::VolumeScan;

struct ImageCase {
  const char* image;  // the raw volume, opened by the engine and the oracles
  std::uint16_t code;
  bool largeInodes;  // 256-byte inodes: nanoseconds and creation times
};

// ext4-4k (64bit, metadata_csum) is the matrix's ext4-gpt volume, listed and
// saved there in every container.
const ImageCase kImages[] = {
    {"ext4-1k.raw", kExt4, true},
    {"ext4-inline.raw", kExt4, true},
    {"ext2-1k.raw", kExt2, false},
    {"ext2-4k.raw", kExt2, true},
    {"ext3-1k.raw", kExt3, false},
    {"ext3-4k.raw", kExt3, true},
};

constexpr std::int64_t kUnixEpochIn1601Seconds = 11644473600;

// A record's time against istat's: the seconds, and the 100 ns ticks where
// istat shows nanoseconds.
void ExpectIstatTime(std::uint64_t recorded, const std::pair<std::int64_t, long>& shown, const char* label) {
  SCOPED_TRACE(label);
  const std::uint64_t seconds = static_cast<std::uint64_t>(shown.first + kUnixEpochIn1601Seconds);
  EXPECT_EQ(recorded / 10000000, seconds);
  if (shown.second >= 0) {
    EXPECT_EQ(recorded, seconds * 10000000 + static_cast<std::uint64_t>(shown.second) / 100);
  }
}

TEST(ExtReadTest, ListsSavesAndTimesAsFlsIstatAndTheSource) {
  for (const ImageCase& c : kImages) {
    SCOPED_TRACE(c.image);
    VolumeScan scan(ExtFixture(c.image));
    const fs::path raw = ExtFixture(c.image);
    EXPECT_STREQ(FsName(scan.partition.code), FsName(c.code));
    test::ExpectListedAsFls(scan, raw, 0);
    test::ExpectSavedAsSource(scan, raw, 0, c.largeInodes);
    for (const char* path : {"one.bin", "media/large.bin", "docs/readme.txt", "small.txt", "sparse.bin"}) {
      SCOPED_TRACE(path);
      // istat reads a 128-byte inode's time as unsigned: 0x80000000 is 2038
      // there, 1901 to debugfs and the kernel, which read it signed.
      if (!c.largeInodes && std::string(path) == "small.txt") continue;
      const auto item = scan.Find(path);
      ASSERT_TRUE(item);
      const auto istat = [&](const char* label) { return test::IstatTime(raw, 0, item->id, "", label); };
      ExpectIstatTime(item->times.modified, istat("File Modified"), "modified");
      ExpectIstatTime(item->times.accessed, istat("Accessed"), "accessed");
      // istat shows creation times of ext4 volumes only; a 128-byte inode has none.
      if (c.code == kExt4) {
        ExpectIstatTime(item->times.created, istat("File Created"), "created");
      } else if (!c.largeInodes) {
        EXPECT_EQ(item->times.created, 0u);
      }
    }
  }
}

// The volumes holding a file past 4 GiB list as fls lists them, and the file comes back whole.
TEST(ExtReadTest, SparseFilePastFourGibComesBackWhole) {
  const fs::path source = ExtFixture("src-big") / "huge.bin";
  const std::uint64_t size = fs::file_size(source);
  ASSERT_GT(size, std::uint64_t{1} << 32);
  constexpr std::uint64_t kTail = 16384;
  const auto want = test::BytesAt(source, size - kTail, kTail);
  for (const char* image : {"ext2-huge.raw", "ext4-huge.raw"}) {
    SCOPED_TRACE(image);
    VolumeScan scan(ExtFixture(image));
    test::ExpectListedAsFls(scan, ExtFixture(image), 0);
    test::TempDir out;
    EXPECT_EQ(scan.SaveAll(out.Path()).failed, 0u);
    ASSERT_EQ(fs::file_size(out.Path() / "huge.bin"), size);
    EXPECT_EQ(test::BytesAt(out.Path() / "huge.bin", 0, kTail), std::vector<std::uint8_t>(kTail, 0));
    EXPECT_EQ(test::BytesAt(out.Path() / "huge.bin", size - kTail, kTail), want);
  }
}

// A record of the slack of a directory block: inode, record length, name
// length, type, name, in a 64-byte area the record must end within.
std::vector<std::uint8_t> SlackRecord(std::uint32_t inode, std::uint16_t record, std::uint8_t nameLength,
                                      std::uint8_t type, const std::string& name) {
  std::vector<std::uint8_t> b(64, 0);
  test::PutInt(b, 0, inode, 4);
  test::PutInt(b, 4, record, 2);
  b[6] = nameLength;
  b[7] = type;
  std::copy(name.begin(), name.end(), b.begin() + 8);
  return b;
}

TEST(ExtReadTest, DeletedEntriesInSlackMustBePlausible) {
  const ext::DirFormat format{true, 1000};
  struct Row {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool plausible;
  };
  const Row rows[] = {
      {"a deleted file", SlackRecord(12, 20, 8, 1, "gone.bin"), true},
      {"one whose record runs to the area's end", SlackRecord(12, 64, 8, 1, "gone.bin"), true},
      {"no inode", SlackRecord(0, 20, 8, 1, "gone.bin"), false},
      {"an inode past the inodes count", SlackRecord(1001, 20, 8, 1, "gone.bin"), false},
      {"no name", SlackRecord(12, 20, 0, 1, ""), false},
      {"a record shorter than its name", SlackRecord(12, 12, 8, 1, "gone.bin"), false},
      {"a record past the area", SlackRecord(12, 68, 8, 1, "gone.bin"), false},
      {"a record length not a multiple of 4", SlackRecord(12, 18, 8, 1, "gone.bin"), false},
      {"an unknown file type", SlackRecord(12, 20, 8, 9, "gone.bin"), false},
      {"a slash in the name", SlackRecord(12, 20, 8, 1, "gone/bin"), false},
      {"a NUL in the name", SlackRecord(12, 20, 8, 1, std::string("gone\0bin", 8)), false},
      {"the parent's name", SlackRecord(12, 12, 2, 2, ".."), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ext::PlausibleDeletedEntry(row.bytes, 0, row.bytes.size(), format), row.plausible);
  }
}

// An edit of a copy of a volume, given the intact volume.
using Edit = std::function<void(test::DiskCopy&, const fs::path&)>;

// Damaged copies of a volume: each breaks one structure.
struct DamageCase {
  const char* name;
  const char* volume;
  Edit edit;
  bool scans;                              // the Quick Scan reads the volume
  std::vector<std::string> notWhole;       // folders it reports as not read whole
  std::vector<std::string> missing;        // items of the intact listing it no longer lists
  // Items of the intact listing it lists under "Lost Dir" instead, named by
  // their inode ("Dir12", "File13"), a folder with what it holds.
  std::vector<std::string> lost;
  std::vector<std::string> failToSave;     // files whose save fails
};

// The intact listing as a damaged scan should give it.
std::vector<ScanItem> Expected(const VolumeScan& intact, const DamageCase& c) {
  const std::string lostDir = ToUtf8(kLostDirName);
  std::vector<ScanItem> want;
  for (ScanItem item : intact.Items()) {
    if (std::find(c.missing.begin(), c.missing.end(), item.path) != c.missing.end()) continue;
    for (const std::string& lost : c.lost) {
      if (item.path != lost && item.path.rfind(lost + "/", 0) != 0) continue;
      const auto top = intact.Find(lost);
      if (!top) throw std::runtime_error("no " + lost + " in the intact listing");
      item.path = lostDir + "/" + (top->folder ? "Dir" : "File") + std::to_string(top->id) +
                  item.path.substr(lost.size());
    }
    want.push_back(item);
  }
  return want;
}

std::vector<std::uint8_t> Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

constexpr std::uint64_t kSuperblock = 1024;
constexpr std::uint64_t kBlockArray = 0x28;

Edit At(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  return [=](test::DiskCopy& d, const fs::path&) { d.Patch(offset, bytes); };
}

Edit InInode(const char* path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  return [=](test::DiskCopy& d, const fs::path& raw) { d.Patch(test::InodeOffset(raw, path) + offset, bytes); };
}

TEST(ExtReadTest, DamagedVolumesAreReadOrRefusedCleanly) {
  const DamageCase cases[] = {
      {"zeroed primary superblock of a volume of one group", "ext4-4k.raw",
       At(kSuperblock, std::vector<std::uint8_t>(1024, 0)), false, {}, {}, {}, {}},
      {"inodes count beyond its groups", "ext4-4k.raw",
       At(kSuperblock + 0x00, Le32(0xFFFFFFF0)), false, {}, {}, {}, {}},
      {"block size past 64 KiB", "ext4-4k.raw", At(kSuperblock + 0x18, Le32(20)), false, {}, {}, {}, {}},
      {"corrupt extent header", "ext4-4k.raw",
       InInode("media/large.bin", kBlockArray, {0, 0}), true, {}, {}, {}, {"media/large.bin"}},
      {"extent index naming a block that holds no extent node", "ext4-4k.raw",
       InInode("islands.bin", kBlockArray + 12 + 4, Le32(0)), true, {}, {}, {}, {"islands.bin"}},
      {"extent past the volume's end", "ext4-4k.raw",
       InInode("one.bin", kBlockArray + 12 + 8, Le32(0xFFFFFF00)), true, {}, {}, {}, {"one.bin"}},
      {"indirect block past the volume's end", "ext2-4k.raw",
       InInode("media/large.bin", kBlockArray + 12 * 4, Le32(0xFFFFFF00)), true, {}, {}, {}, {"media/large.bin"}},
      {"directory record length 0", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(test::BlockOf(raw, "docs", 0) * 4096 + 4, {0, 0});
       },
       true, {"/docs"}, {}, {"docs/readme.txt", "docs/reports"}, {}},
      {"directory record running past its block", "ext2-1k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(test::BlockOf(raw, "trash", 0) * 1024 + 4, {0xFC, 0x7F});
       },
       // The deleted names and the killed file's freed inode go with the
       // folder's listing; the one file still in use is lost.
       true, {"/trash"}, {"trash/gone.bin", "trash/gone-too.txt", "trash/killed.bin"}, {"trash/keep.txt"}, {}},
      {"primary descriptor of group 0 zeroed: the backup's read, group 0's files listed", "wsl-ext4.raw",
       At(4096, std::vector<std::uint8_t>(64, 0)), true, {}, {}, {}, {}},
      {"primary descriptor of group 0 zeroed under gdt_csum: the backup's read", "ext4-gdtcsum.raw",
       At(2048, std::vector<std::uint8_t>(32, 0)), true, {}, {}, {}, {}},
      {"primary superblock's inodes count lowered, its checksum failing: group 1's copy read", "ext4-1k.raw",
       At(kSuperblock + 0x00, Le32(16)), true, {}, {}, {}, {}},
      {"checksums alone broken (superblock, descriptor, a live inode, an extent leaf): read whole", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(kSuperblock + 0x3FC, {0xFF});
         d.Patch(4096 + 0x1E, {0xFF, 0xFF});
         d.Patch(test::InodeOffset(raw, "docs/readme.txt") + 0x7C, {0xFF, 0xFF});
         d.Patch(test::FirstExtentNode(raw, test::InodeOffset(raw, "islands.bin")) * 4096 + 4000, {0xFF});
       },
       true, {}, {}, {}, {}},
  };
  std::map<std::string, VolumeScan> intact;  // by volume, scanned once
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path intactRaw = ExtFixture(c.volume);
    test::DiskCopy copy(intactRaw, c.volume);
    c.edit(copy, intactRaw);
    // As a Linux partition of a table gives it: the search cannot tell a
    // volume whose superblock is gone.
    VolumeScan damaged(copy.Raw(), PartitionEntry{0, fs::file_size(intactRaw) / 512, kExt4});
    if (!c.scans) {
      EXPECT_FALSE(damaged.result.Usable());
      EXPECT_FALSE(damaged.result.message.empty());
      EXPECT_TRUE(damaged.store.Files().empty());
      continue;
    }
    ASSERT_TRUE(damaged.result.Usable()) << damaged.result.message;
    std::vector<std::string> notWhole;
    for (const std::u16string& folder : damaged.result.foldersNotReadWhole) notWhole.push_back(ToUtf8(folder));
    EXPECT_EQ(notWhole, c.notWhole);

    // The intact listing is fls's: among them the WSL-like volume debugfs wrote (64-byte descriptors, several
    // groups, no flex_bg).
    const auto [it, first] = intact.try_emplace(c.volume, intactRaw);
    const VolumeScan& whole = it->second;
    if (first) test::ExpectListedAsFls(whole, intactRaw, 0);
    test::ExpectSameListing(test::Listing(damaged.Items()), test::Listing(Expected(whole, c)));

    test::TempDir out;
    const SaveSummary summary = damaged.SaveAll(out.Path());
    std::vector<std::string> failed;
    for (const SaveFailure& failure : summary.failures)
      failed.push_back(fs::relative(failure.path, out.Path()).string());
    EXPECT_EQ(failed, c.failToSave);
    for (const std::string& path : c.failToSave) EXPECT_FALSE(fs::exists(out.Path() / path)) << path;
  }
}

// A deleted folder whose inode a new folder took, and a deleted file's, are not
// listed under their old names: the new folder's files stay in it, live.
TEST(ExtReadTest, DeletedNamesWhoseInodeWasTakenAgainAreNotListed) {
  test::DiskCopy copy(ExtFixture("ext2-1k.raw"), "ext2-1k.raw");
  test::TempDir dir;
  std::ofstream(dir / "commands") << "mkdir /olddir\nrmdir /olddir\nmkdir /docs/newdir\nmkdir /docs/newdir/inner\n"
                                     "write " << ExtFixture("src/small.txt").string() << " /docs/newdir/f.txt\n";
  ASSERT_EQ(test::RunShell("debugfs -w -f " + test::Quote(dir / "commands") + " " + test::Quote(copy.Raw())).status, 0);
  test::ExpectListedAsFls(VolumeScan(copy.Raw()), copy.Raw(), 0);
}

// A Linux partition whose primary superblock is gone is still listed, by the
// copy mke2fs put in group 1, and reads as the intact volume does.
TEST(ExtReadTest, PartitionWithoutItsPrimarySuperblockIsFoundByItsCopy) {
  constexpr std::uint64_t kStart = 2048;
  const auto volume = test::ReadFileBytes(ExtFixture("ext2-1k.raw"));
  std::vector<std::uint8_t> disk(kStart * 512);
  const auto entry = test::RecordEntry(0x83, kStart, volume.size() / 512);
  std::copy(entry.begin(), entry.end(), disk.begin() + test::RecordEntryOffset(0));
  disk[510] = 0x55;
  disk[511] = 0xAA;
  disk.insert(disk.end(), volume.begin(), volume.end());
  std::fill_n(disk.begin() + kStart * 512 + kSuperblock, 1024, 0);
  test::TempDir dir;
  test::WriteFileBytes(dir / "disk.raw", disk);
  const VolumeScan damaged(dir / "disk.raw");
  EXPECT_EQ(damaged.partition.code, kExt2);
  test::ExpectSameListing(test::Listing(damaged.Items()),
                          test::Listing(VolumeScan(ExtFixture("ext2-1k.raw")).Items()));
}

const char* const kJournalImages[] = {"ext4-journal.raw", "ext4-journal-plain.raw", "ext3-journal.raw",
                                      "ext3-journal-csum.raw"};

// journal.manifest: SIZE SHA256 PATH of the source files; the sha256 by path.
std::map<std::string, std::string> JournalManifest() {
  std::ifstream in(ExtFixture("journal.manifest"));
  std::map<std::string, std::string> rows;
  for (std::string size, sha, path; in >> size >> sha >> path;) rows[path] = sha;
  EXPECT_EQ(rows.size(), 6u);
  return rows;
}

// The volume block of a journal block, as debugfs bmap on the journal
// inode says.
std::uint64_t JournalBlockOnVolume(const fs::path& raw, std::uint32_t journalBlock) {
  return std::stoull(test::Debugfs(raw, "bmap <8> " + std::to_string(journalBlock)));
}

// The ext volume at the start of a raw image and its journal, opened as the scan opens them; why says what kept the
// journal from opening.
struct OpenedJournal {
  explicit OpenedJournal(const fs::path& raw) : file(ImageFile::Open(raw)), reader(*file) {
    Diagnostics diagnostics;
    volume = ext::ExtVolume::Open(reader, 0, diagnostics);
    if (volume)
      journal = ext::Journal::Open(*volume, why);
    else
      why = "no volume";
  }
  std::unique_ptr<ByteSource> file;
  SectorReader reader;
  std::optional<ext::ExtVolume> volume;  // the journal reads through it
  std::string why;
  std::optional<ext::Journal> journal;
};

// The log the engine reads against logdump -Oa, which dumps every
// descriptor left in the log, live or not: the same volume blocks at the
// same journal blocks (tags of a size the journal's features do not give
// fall apart here).
TEST(ExtJournalTest, LogMatchesLogdump) {
  static const std::regex logged(R"(FS block (\d+) logged at journal block (\d+))");
  for (const char* image : kJournalImages) {
    SCOPED_TRACE(image);
    const fs::path raw = ExtFixture(image);
    std::set<std::pair<std::uint64_t, std::uint32_t>> want;
    const std::string dump = test::Debugfs(raw, "logdump -Oa");
    for (std::sregex_iterator it(dump.begin(), dump.end(), logged), end; it != end; ++it)
      want.emplace(std::stoull((*it)[1]), static_cast<std::uint32_t>(std::stoul((*it)[2])));
    ASSERT_GE(want.size(), 2u) << dump;

    const OpenedJournal opened(raw);
    const auto& journal = opened.journal;
    ASSERT_TRUE(journal) << opened.why;
    std::set<std::pair<std::uint64_t, std::uint32_t>> got;
    for (const ext::JournalCopy& copy : journal->Copies()) got.emplace(copy.fsBlock, copy.journalBlock);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(journal->Skipped().empty());
    EXPECT_EQ(journal->Header().start, 0u) << "a clean journal";

    // Every block is logged at least twice, newer copies after older ones
    // in the log: the newest copy comes first.
    for (const auto& [fsBlock, journalBlock] : want) {
      const auto copies = journal->CopiesOf(fsBlock);
      ASSERT_GE(copies.size(), 2u);
      for (std::size_t i = 1; i < copies.size(); ++i) {
        EXPECT_GT(copies[i - 1].sequence, copies[i].sequence);
        EXPECT_GT(copies[i - 1].journalBlock, copies[i].journalBlock);
      }
    }
    // The walk reads each block of the log about once.
    EXPECT_LE(journal->LogBlocksRead(), 2u * journal->Header().maxLength);
  }
}

// Each file of a store, all a snapshot keeps of it.
std::vector<std::string> Shown(const RecoveryStore& store) {
  std::vector<std::string> files;
  for (const FileRecord& f : store.Files())
    files.push_back(ToUtf8(f.name) + " " + std::to_string(f.id) + " in " + std::to_string(f.parentId) + " at " +
                    std::to_string(f.locator) + " times " + std::to_string(f.times.created) + " " +
                    std::to_string(f.times.modified) + " " + std::to_string(f.times.accessed) + " size " +
                    std::to_string(f.size) + (f.deleted ? " deleted" : "") + (f.fromJournal ? " journal" : ""));
  return files;
}

// Deleted files whose blocks are free come back byte for byte from the
// journal's copy of their inode, with its size; reused.bin, whose blocks
// new.bin took, is listed deleted but not read through the journal, so that
// new.bin's bytes are never given as its own.
TEST(ExtJournalTest, DeletedFilesComeBackFromTheJournal) {
  struct Row {
    const char* path;
    bool deleted;
    bool fromJournal;
    bool ext4Only;  // deleted in the ext4 volumes, live in the ext3 ones
  };
  const Row rows[] = {
      {"journal/gone-a.bin", true, true, false},
      {"journal/gone-b.txt", true, true, false},
      {"journal/reused.bin", true, false, false},
      {"journal/keep.txt", false, false, false},
      {"journal/islands.bin", true, true, true},  // an extent tree of depth 1, holes between its extents
      // Its indirect blocks (zeroed on the volume) or extent leaf (emptied)
      // read from the journal's copies as old as its inode's.
      {"journal/spread.bin", true, true, false},
  };
  const auto manifest = JournalManifest();
  for (const char* image : kJournalImages) {
    SCOPED_TRACE(image);
    test::VolumeScan scan(ExtFixture(image));
    const auto saved = scan.SavedDigests();
    // A snapshot keeps each file as listed: times, the mark, the journal copy it is read from.
    SnapshotInfo info;
    info.params = scan.result.params;
    const DecodedSnapshot kept = DecodeSnapshot(EncodeFileSystemSnapshot(info, scan.store));
    ASSERT_TRUE(kept.snapshot) << kept.message;
    EXPECT_EQ(Shown(kept.snapshot->store), Shown(scan.store));
    for (const Row& row : rows) {
      SCOPED_TRACE(row.path);
      const bool applies = !row.ext4Only || std::string(image).starts_with("ext4");
      const auto listed = scan.Find(row.path);
      ASSERT_TRUE(listed);
      EXPECT_EQ(listed->deleted, row.deleted && applies);
      EXPECT_EQ(listed->type.ends_with(", from the journal"), row.fromJournal && applies) << listed->type;
      const std::string& source = manifest.at(row.path);
      const auto it = saved.find(row.path);
      if (row.fromJournal || !row.deleted) {
        ASSERT_NE(it, saved.end());
        EXPECT_EQ(it->second, source);
      } else if (it != saved.end()) {
        EXPECT_NE(it->second, source);
      }
    }
  }
}

// Why the journal of a raw volume refused to open or passed transactions
// over, one reason a line; empty when it read whole.
std::string JournalComplaints(const fs::path& raw) {
  const OpenedJournal opened(raw);
  if (!opened.journal) return opened.why;
  std::string all;
  for (const std::string& reason : opened.journal->Skipped()) all += reason + "\n";
  return all;
}

// Damaged journals give no crash and no false recovery: the journal's
// superblock, a tag, a commit block, the logged copy, and a log too short
// for its transactions (the walk comes round to where it began). Undamaged,
// both files come back and the journal reads whole (the tests above).
TEST(ExtJournalTest, DamagedJournalsGiveNoFalseRecovery) {
  struct Patch {
    std::uint32_t journalBlock;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
  };
  struct Row {
    const char* name;
    std::vector<Patch> patches;
    const char* file;
    bool recovered;
    const char* why;  // what the journal says it passed over or refused
    bool mapBlockInUse = false;  // the first map block spread.bin's live copies log is marked in use
  };
  const std::vector<std::uint8_t> zeros(16, 0);
  const std::vector<std::uint8_t> block(4096, 0);
  // A descriptor of a transaction 99 that never committed, its tags all
  // zero: it claims the blocks after it for copies.
  std::vector<std::uint8_t> stray = {0xC0, 0x3B, 0x39, 0x98, 0, 0, 0, 1, 0, 0, 0, 99};
  stray.resize(4096, 0);
  // The journal of each image: block 0 its superblock, 1 and 4 the
  // descriptors of the two transactions that log gone-a.bin's inode table
  // block, 2 and 5 their copies, 3 and 6 their commits; 12 the commit
  // before the transactions of spread.bin, 13 the descriptor of its map
  // blocks' live copies, which lie at 14 and on (as LogMatchesLogdump
  // checks against logdump).
  const char* const goneA = "journal/gone-a.bin";
  const char* const spread = "journal/spread.bin";
  const Row rows[] = {
      {"bad journal magic", {{0, 0, {0xDE, 0xAD, 0xBE, 0xEF}}}, goneA, false, "no journal superblock magic"},
      {"tag past the volume", {{1, 12, {0xFF, 0xFF, 0xFF, 0x00}}}, goneA, false, "past the volume's end"},
      {"older commit gone", {{3, 0, zeros}}, goneA, false, "breaks off at journal block 3"},
      {"older copy zeroed", {{2, 0, block}}, goneA, false, ""},
      {"log of two blocks", {{0, 0x10, {0, 0, 0, 3}}}, goneA, false, "no commit block within the log"},
      {"log past the journal", {{0, 0x10, {0x7F, 0xFF, 0xFF, 0xFF}}}, goneA, false, "a log of blocks 1 to"},
      // The copy no newer than the inode's is taken as it is, and it holds
      // no map: no holes of zeros in its place.
      {"map copy zeroed", {{14, 0, block}}, spread, false, ""},
      // No copy as old as the inode's: the volume's block is zeroed (ext3)
      // or emptied (ext4), and no map is read from it.
      {"map copy unlogged", {{13, 12, {0, 0, 0, 1}}}, spread, false, ""},
      // A transaction that breaks off where the next one's descriptor lies
      // hides none of the transactions after it.
      {"uncommitted descriptor over later ones", {{12, 0, stray}}, spread, true,
       "transaction 99 breaks off at journal block 13"},
      // A block of the map in use again may hold another file's map now.
      {"map block in use again", {}, spread, false, "", true},
  };
  const auto manifest = JournalManifest();
  for (const char* image : kJournalImages) {
    const fs::path source = ExtFixture(image);
    const std::uint32_t blockSize = test::BlockSize(source);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(image) + ": " + row.name);
      test::DiskCopy copy(source, image);
      for (const Patch& patch : row.patches) {
        std::vector<std::uint8_t> bytes = patch.bytes;
        bytes.resize(std::min<std::size_t>(bytes.size(), blockSize - patch.offset));
        copy.Patch(JournalBlockOnVolume(source, patch.journalBlock) * blockSize + patch.offset, bytes);
      }
      if (row.mapBlockInUse) {  // the first tag of journal block 13 names the map block
        const auto tag = test::BytesAt(copy.Raw(), JournalBlockOnVolume(source, 13) * blockSize + 12, 4);
        const std::string setb = "setb " + std::to_string(test::GetInt(tag, 0, 4, true));
        ASSERT_EQ(test::RunShell("debugfs -w -R '" + setb + "' " + test::Quote(copy.Raw())).status, 0);
      }
      const std::string said = JournalComplaints(copy.Raw());
      if (row.why[0] == 0)
        EXPECT_EQ(said, "");
      else
        EXPECT_NE(said.find(row.why), std::string::npos) << said;
      test::VolumeScan scan(copy.Raw());
      const auto listed = scan.Find(row.file);
      ASSERT_TRUE(listed);
      EXPECT_EQ(listed->type.ends_with(", from the journal"), row.recovered) << listed->type;
      EXPECT_TRUE(listed->deleted);
      const auto saved = scan.SavedDigests();
      const auto it = saved.find(row.file);
      const bool whole = it != saved.end() && it->second == manifest.at(row.file);
      EXPECT_EQ(whole, row.recovered);
      EXPECT_EQ(saved.at("journal/keep.txt"), manifest.at("journal/keep.txt"));
    }
  }
}

// A log made of descriptors of one sequence and no commit, each followed by
// its copy: read once through, not once per descriptor, and nothing taken
// from it.
TEST(ExtJournalTest, LogOfDescriptorsWithoutCommitsIsReadOnce) {
  const fs::path source = ExtFixture("ext3-journal.raw");
  const std::uint32_t blockSize = test::BlockSize(source);
  test::DiskCopy copy(source, "hostile.raw");
  const std::uint32_t logEnd = 1024;  // the journal mke2fs gives a volume of 16 MiB
  // The journal's runs as debugfs shows them: "(12-1023):279-1290".
  static const std::regex run(R"(\((\d+)-(\d+)\):(\d+)-\d+)");
  const std::string blocks = test::Debugfs(source, "stat <8>");
  std::map<std::uint32_t, std::uint64_t> where;  // journal block -> volume block
  for (std::sregex_iterator it(blocks.begin(), blocks.end(), run), end; it != end; ++it) {
    const auto from = static_cast<std::uint32_t>(std::stoul((*it)[1]));
    const auto to = static_cast<std::uint32_t>(std::stoul((*it)[2]));
    for (std::uint32_t j = from; j <= to; ++j) where[j] = std::stoull((*it)[3]) + j - from;
  }
  ASSERT_EQ(where.size(), logEnd) << blocks;
  // Descriptors at the odd journal blocks, zeros between: a header (magic,
  // descriptor, sequence 10) and one tag of 8 bytes for block 4, its last,
  // with the volume's UUID.
  std::vector<std::uint8_t> descriptor = {0xC0, 0x3B, 0x39, 0x98, 0, 0, 0, 1, 0, 0, 0, 10, 0, 0, 0, 4, 0, 0, 0, 0x0A};
  descriptor.resize(blockSize, 0);
  const std::vector<std::uint8_t> zeros(blockSize, 0);
  for (std::uint32_t j = 1; j < logEnd; ++j) copy.Patch(where[j] * blockSize, j % 2 ? descriptor : zeros);

  const OpenedJournal opened(copy.Raw());
  const auto& journal = opened.journal;
  ASSERT_TRUE(journal) << opened.why;
  ASSERT_EQ(journal->Header().maxLength, logEnd);
  EXPECT_TRUE(journal->Copies().empty());
  ASSERT_FALSE(journal->Skipped().empty());
  EXPECT_NE(journal->Skipped()[0].find("no commit block within the log"), std::string::npos);
  EXPECT_LE(journal->LogBlocksRead(), 2u * logEnd);
}

// Asks the scan to stop when a byte is read, and counts the reads after.
class StopAtByte final : public ByteSource {
 public:
  StopAtByte(const ByteSource& inner, std::uint64_t at, ScanControl& control)
      : inner_(inner), at_(at), control_(control) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (control_.StopRequested())
      ++readsAfterStop;
    else if (offset <= at_ && at_ < offset + out.size())
      control_.RequestStop();
    return inner_.ReadAt(offset, out);
  }
  std::uint64_t Size() const override { return inner_.Size(); }
  mutable std::size_t readsAfterStop = 0;

 private:
  const ByteSource& inner_;
  std::uint64_t at_;
  ScanControl& control_;
};

// A stop asked as the journal's log begins to be read ends the reading at
// once: no file comes from the journal, the files met before are listed,
// and little is read after the stop.
TEST(ExtJournalTest, StopEndsTheJournalRead) {
  const fs::path raw = ExtFixture("ext4-journal.raw");
  const auto image = ImageFile::Open(raw);
  ASSERT_TRUE(image);
  const std::uint64_t logStart = JournalBlockOnVolume(raw, 1) * test::BlockSize(raw);
  ScanControl control;
  const StopAtByte source(*image, logStart, control);
  const SectorReader reader(source);
  FsParams params;
  params.partitionSectors = image->Size() / 512;
  params.lastSector = params.partitionSectors - 1;
  RecoveryStore store;
  ScanExtQuick(reader, params, store, control);
  ASSERT_TRUE(control.StopRequested());
  const auto goneA = std::ranges::find(store.Files(), u"gone-a.bin", &FileRecord::name);
  ASSERT_NE(goneA, store.Files().end());
  EXPECT_TRUE(goneA->deleted);
  for (const FileRecord& file : store.Files()) EXPECT_FALSE(file.fromJournal) << ToUtf8(file.name);
  // The log has 1024 blocks: reading on would take hundreds of reads.
  EXPECT_LE(source.readsAfterStop, 16u);
}

void FlipByte(const fs::path& raw, std::uint64_t offset) {
  test::PatchFile(raw, offset, {static_cast<std::uint8_t>(test::BytesAt(raw, offset, 1)[0] ^ 0x01)});
}

// Inodes nothing but themselves vouch for are taken only when their checksums hold: a deleted name's inode, the
// journal's older copy of an inode and the extent tree below it. Trusted, a file is listed and saved as from the
// intact volume (as the tests above check); not trusted, it is listed without size and not saved whole. A live file's
// inode that fails is read all the same.
TEST(ExtChecksumTest, GuessedInodesAreTrustedOnlyWhenTheirChecksumsHold) {
  // The byte flipped in a copy of the image: in the file's inode, in its
  // inode's copy in the journal, or in the extent leaf the journal keeps.
  enum Flipped { kInode, kJournalInode, kJournalLeaf };
  struct Row {
    const char* name;
    const char* image;
    const char* path;
    Flipped flipped;
    bool trusted;
  };
  const Row rows[] = {
      {"a deleted file whose inode fails", "ext4-4k.raw", "trash/gone.bin", kInode, false},
      {"a live file whose inode fails", "ext4-4k.raw", "docs/readme.txt", kInode, true},
      {"a file whose inode copy in the journal fails", "ext4-journal.raw", "journal/gone-a.bin", kJournalInode, false},
      {"an extent tree from the journal whose leaf fails", "ext4-journal.raw", "journal/islands.bin", kJournalLeaf,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path raw = ExtFixture(row.image);
    test::VolumeScan intact(raw);
    const auto want = intact.SavedDigests().at(row.path);
    const auto intactItem = intact.Find(row.path);
    ASSERT_TRUE(intactItem);
    // The inode, or the journal's copy of it that the intact scan reads.
    std::uint64_t inode = test::InodeOffset(raw, intactItem->id);
    if (row.flipped != kInode) {
      const auto file = std::ranges::find(intact.store.Files(), intactItem->id, &FileRecord::id);
      inode = JournalBlockOnVolume(raw, ext::JournalBlockOfLocator(file->locator)) * 4096 + inode % 4096;
    }
    test::DiskCopy copy(raw, row.image);
    FlipByte(copy.Raw(), row.flipped == kJournalLeaf ? test::FirstExtentNode(raw, inode) * 4096 + 4000 : inode + 8);
    test::VolumeScan scan(copy.Raw());
    const auto item = scan.Find(row.path);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->deleted, intactItem->deleted);
    EXPECT_FALSE(item->type.ends_with(", from the journal")) << item->type;
    EXPECT_EQ(item->size, row.trusted ? intactItem->size : 0u);
    const auto saved = scan.SavedDigests();
    const auto it = saved.find(row.path);
    EXPECT_EQ(it != saved.end() && it->second == want, row.trusted);
  }
}

// A file whose name debugfs unlinked, its inode left in use, is lost: it is
// listed under Lost Dir when its inode's checksum holds, left out when it
// fails.
TEST(ExtChecksumTest, LostInodesAreListedOnlyWhenTheirChecksumsHold) {
  const fs::path raw = ExtFixture("ext4-4k.raw");
  const std::uint32_t number = test::InodeNumber(raw, "docs/readme.txt");
  const std::string lost = ToUtf8(kLostDirName) + "/File" + std::to_string(number);
  for (const bool broken : {false, true}) {
    SCOPED_TRACE(broken ? "inode failing its checksum" : "inode intact");
    test::DiskCopy copy(raw, "ext4-4k.raw");
    const std::string unlink = "debugfs -w -R 'unlink /docs/readme.txt' " + test::Quote(copy.Raw()) + " 2>&1";
    ASSERT_EQ(test::RunShell(unlink).status, 0);
    if (broken) FlipByte(copy.Raw(), test::InodeOffset(copy.Raw(), number) + 0x08);
    const test::VolumeScan scan(copy.Raw());
    const auto found = scan.Find(lost);
    EXPECT_EQ(found.has_value(), !broken);
    if (found) {
      EXPECT_EQ(found->size, 700u);
    }
    // The name left in the folder's slack names an inode in use: not listed.
    EXPECT_FALSE(scan.Find("docs/readme.txt"));
  }
}

}  // namespace
}  // namespace dravik
