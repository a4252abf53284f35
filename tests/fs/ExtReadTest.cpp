// The ext2/ext3/ext4 Quick Scan and save on the volumes of
// make-ext-fixtures.sh against Sleuth Kit (fls, icat, istat), the source
// folder's manifest and debugfs; and on damaged copies, among them copies
// whose metadata checksums fail (a checksum formula gone wrong fails the
// intact volumes' listings and saves here and in the matrix).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>

#include "ExtFixtures.h"
#include "fs/ext/DirEntries.h"
#include "fs/ext/JournalInodes.h"
#include "Oracles.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "util/Utf.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ExtFixture;
using test::ScanItem;
using test::VolumeScan;

struct ImageCase {
  const char* image;  // the raw volume or disk, opened by the engine and the oracles
  std::uint64_t start;
  std::uint16_t code;
  bool largeInodes;  // 256-byte inodes: nanoseconds and creation times
};

// ext4-4k (64bit, metadata_csum) is the matrix's ext4-gpt volume, listed and
// saved there in every container.
const ImageCase kImages[] = {
    {"ext4-1k.raw", 0, kExt4, true},
    {"ext4-inline.raw", 0, kExt4, true},
    {"ext2-1k.raw", 0, kExt2, false},
    {"ext2-4k.raw", 0, kExt2, true},
    {"ext3-1k.raw", 0, kExt3, false},
    {"ext3-4k.raw", 0, kExt3, true},
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

// Each volume's listing equals fls's, saving it gives the source folder
// back, and its files' times are istat's. The GPT disk is the matrix's, in
// every container.
TEST(ExtReadTest, ListsSavesAndTimesAsFlsIstatAndTheSource) {
  for (const ImageCase& c : kImages) {
    SCOPED_TRACE(c.image);
    VolumeScan scan(ExtFixture(c.image));
    const fs::path raw = ExtFixture(c.image);
    EXPECT_EQ(scan.partition.start, c.start);
    EXPECT_STREQ(FsName(scan.partition.code), FsName(c.code));
    test::ExpectListedAsFls(scan, raw, c.start);
    test::ExpectSavedAsSource(scan, raw, c.start, c.largeInodes);
    for (const char* path : {"one.bin", "media/large.bin", "docs/readme.txt", "small.txt", "sparse.bin"}) {
      SCOPED_TRACE(path);
      // istat reads a 128-byte inode's time as unsigned: 0x80000000 is 2038
      // there, 1901 to debugfs and the kernel, which read it signed.
      if (!c.largeInodes && std::string(path) == "small.txt") continue;
      const auto item = scan.Find(path);
      ASSERT_TRUE(item);
      const auto istat = [&](const char* label) { return test::IstatTime(raw, c.start, item->id, "", label); };
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

// Volumes of other makings, listed as fls lists them: the WSL-like one
// debugfs wrote (64-byte descriptors, several groups, no flex_bg) and the
// one holding a file past 4 GiB.
TEST(ExtReadTest, OtherVolumesListAsFls) {
  for (const char* volume : {"wsl-ext4.raw", "ext4-huge.raw"}) {
    SCOPED_TRACE(volume);
    test::ExpectListedAsFls(VolumeScan(ExtFixture(volume)), ExtFixture(volume), 0);
  }
}

TEST(ExtReadTest, SparseFilePastFourGibComesBackWhole) {
  const fs::path source = ExtFixture("src-big") / "huge.bin";
  const std::uint64_t size = fs::file_size(source);
  ASSERT_GT(size, std::uint64_t{1} << 32);
  constexpr std::uint64_t kTail = 16384;
  const auto want = test::BytesAt(source, size - kTail, kTail);
  for (const char* image : {"ext2-huge.raw", "ext4-huge.raw"}) {
    SCOPED_TRACE(image);
    VolumeScan scan(ExtFixture(image));
    const auto item = scan.Find("huge.bin");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->size, size);
    test::TempDir out;
    const SaveSummary summary = scan.SaveAll(out.Path());
    EXPECT_EQ(summary.failed, 0u);
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
  for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(inode >> (8 * i));
  b[4] = static_cast<std::uint8_t>(record);
  b[5] = static_cast<std::uint8_t>(record >> 8);
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

// Damaged copies of a volume: each breaks one structure.
struct DamageCase {
  const char* name;
  const char* volume;
  std::function<void(test::DiskCopy&, const fs::path&)> edit;
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

TEST(ExtReadTest, DamagedVolumesAreReadOrRefusedCleanly) {
  const DamageCase cases[] = {
      {"zeroed primary superblock of a volume of one group", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path&) { d.Patch(kSuperblock, std::vector<std::uint8_t>(1024, 0)); },
       false, {}, {}, {}, {}},
      {"inodes count beyond its groups", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path&) { d.Patch(kSuperblock + 0x00, Le32(0xFFFFFFF0)); },
       false, {}, {}, {}, {}},
      {"block size past 64 KiB", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path&) { d.Patch(kSuperblock + 0x18, Le32(20)); }, false, {}, {}, {}, {}},
      {"corrupt extent header", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(test::InodeOffset(raw, "media/large.bin") + kBlockArray, {0, 0});
       },
       true, {}, {}, {}, {"media/large.bin"}},
      {"extent index naming a block that holds no extent node", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(test::InodeOffset(raw, "islands.bin") + kBlockArray + 12 + 4, Le32(0));
       },
       true, {}, {}, {}, {"islands.bin"}},
      {"extent past the volume's end", "ext4-4k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(test::InodeOffset(raw, "one.bin") + kBlockArray + 12 + 8, Le32(0xFFFFFF00));
       },
       true, {}, {}, {}, {"one.bin"}},
      {"indirect block past the volume's end", "ext2-4k.raw",
       [](test::DiskCopy& d, const fs::path& raw) {
         d.Patch(test::InodeOffset(raw, "media/large.bin") + kBlockArray + 12 * 4, Le32(0xFFFFFF00));
       },
       true, {}, {}, {}, {"media/large.bin"}},
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
       [](test::DiskCopy& d, const fs::path&) { d.Patch(4096, std::vector<std::uint8_t>(64, 0)); },
       true, {}, {}, {}, {}},
      {"primary descriptor of group 0 zeroed under gdt_csum: the backup's read", "ext4-gdtcsum.raw",
       [](test::DiskCopy& d, const fs::path&) { d.Patch(2048, std::vector<std::uint8_t>(32, 0)); },
       true, {}, {}, {}, {}},
      {"primary superblock's inodes count lowered, its checksum failing: group 1's copy read", "ext4-1k.raw",
       [](test::DiskCopy& d, const fs::path&) { d.Patch(kSuperblock + 0x00, Le32(16)); }, true, {}, {}, {}, {}},
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

    const VolumeScan& whole = intact.try_emplace(c.volume, intactRaw).first->second;
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
  const VolumeScan scan(copy.Raw());
  EXPECT_FALSE(scan.Find("olddir"));
  ASSERT_TRUE(scan.Find("docs/newdir/f.txt"));
  EXPECT_FALSE(scan.Find("docs/newdir/f.txt")->deleted);
  test::ExpectListedAsFls(scan, copy.Raw(), 0);
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
  EXPECT_EQ(damaged.partition.start, kStart);
  EXPECT_EQ(damaged.partition.code, kExt2);
  ASSERT_TRUE(damaged.result.Usable()) << damaged.result.message;
  test::ExpectSameListing(test::Listing(damaged.Items()),
                          test::Listing(VolumeScan(ExtFixture("ext2-1k.raw")).Items()));
}

void FlipByte(const fs::path& raw, std::uint64_t offset) {
  test::PatchFile(raw, offset, {static_cast<std::uint8_t>(test::BytesAt(raw, offset, 1)[0] ^ 0x01)});
}

// Inodes nothing but themselves vouch for are taken only when their
// checksums hold: a deleted name's inode, the journal's older copy of an
// inode and the extent tree below it. Trusted, a file is listed and saved
// as from the intact volume; not trusted, it is listed without size and not
// saved whole. A live file's inode that fails is read all the same. (Intact,
// they read as ListsSavesAndTimesAsFlsIstatAndTheSource and ExtJournalTest
// check.)
TEST(ExtChecksumTest, GuessedInodesAreTrustedOnlyWhenTheirChecksumsHold) {
  // Where the journal's copy that the intact scan reads a file's inode from
  // holds that inode (debugfs bmap of the journal inode).
  const auto journalCopyOffset = [](const fs::path& raw, const test::VolumeScan& intact,
                                    const char* path) -> std::uint64_t {
    const auto item = intact.Find(path);
    for (const FileRecord& f : intact.store.Files()) {
      if (!item || f.id != item->id) continue;
      const std::string bmap = test::Debugfs(raw, "bmap <8> " + std::to_string(ext::JournalBlockOfLocator(f.locator)));
      return std::uint64_t{std::stoull(bmap)} * 4096 + test::InodeOffset(raw, item->id) % 4096;
    }
    ADD_FAILURE() << "no " << path << " in the intact listing";
    return 0;
  };
  // The byte flipped in a copy of the image: in the file's inode, in its
  // inode's copy in the journal, or in the extent leaf the journal keeps.
  using Byte = std::function<std::uint64_t(const fs::path& copy, const test::VolumeScan& intact, const char* path)>;
  const Byte inInode = [](const fs::path& c, const test::VolumeScan& intact, const char* path) {
    return test::InodeOffset(c, intact.Find(path).value().id) + 8;
  };
  const Byte inJournalInode = [&](const fs::path& c, const test::VolumeScan& intact, const char* path) {
    return journalCopyOffset(c, intact, path) + 8;
  };
  const Byte inJournalLeaf = [&](const fs::path& c, const test::VolumeScan& intact, const char* path) {
    return test::FirstExtentNode(c, journalCopyOffset(c, intact, path)) * 4096 + 4000;
  };
  struct Row {
    const char* name;
    const char* image;
    const char* path;
    Byte flipped;
    bool trusted;
  };
  const Row rows[] = {
      {"a deleted file whose inode fails", "ext4-4k.raw", "trash/gone.bin", inInode, false},
      {"a live file whose inode fails", "ext4-4k.raw", "docs/readme.txt", inInode, true},
      {"a file whose inode copy in the journal fails", "ext4-journal.raw", "journal/gone-a.bin", inJournalInode, false},
      {"an extent tree from the journal whose leaf fails", "ext4-journal.raw", "journal/islands.bin", inJournalLeaf,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path raw = ExtFixture(row.image);
    test::VolumeScan intact(raw);
    const auto want = intact.SavedDigests().at(row.path);
    test::TempDir dir;
    const auto intactItem = intact.Find(row.path);
    ASSERT_TRUE(intactItem);
    const fs::path copy = dir / row.image;
    fs::copy_file(raw, copy);
    FlipByte(copy, row.flipped(copy, intact, row.path));
    test::VolumeScan scan(copy);
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
    test::TempDir dir;
    const fs::path copy = dir / "ext4-4k.raw";
    fs::copy_file(raw, copy);
    const std::string unlink = "debugfs -w -R 'unlink /docs/readme.txt' " + test::Quote(copy) + " >/dev/null 2>&1";
    ASSERT_EQ(test::RunShell(unlink).status, 0);
    if (broken) FlipByte(copy, test::InodeOffset(copy, number) + 0x08);
    const test::VolumeScan scan(copy);
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
