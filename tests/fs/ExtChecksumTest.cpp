// ext checksums (metadata_csum's CRC32C, gdt_csum's CRC16) on the volumes of
// make-ext-fixtures.sh: every structure of an intact volume holds its
// checksum, and a byte changed where e2fsck -fn then names a failing
// checksum fails here too; what the scan only guesses at (a deleted name's
// inode, an inode copy in the journal and the extent tree it leads to) is
// not trusted when its checksum fails, while a live file is read as ever.

#include <gtest/gtest.h>

#include <functional>

#include "ExtFixtures.h"
#include "TestFiles.h"
#include "fs/ext/Checksums.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/JournalInodes.h"
#include "util/Utf.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ExtFixture;

constexpr std::uint64_t kSuperblock = 1024;
constexpr std::size_t kBlockArray = 0x28;

std::string E2fsck(const fs::path& raw) { return test::RunShell("e2fsck -fn " + test::Quote(raw) + " 2>&1").out; }

using test::BytesAt;
using test::InodeNumber;
using OpenVolume = test::OpenedExtVolume;

void FlipByte(const fs::path& raw, std::uint64_t offset) {
  test::PatchFile(raw, offset, {static_cast<std::uint8_t>(BytesAt(raw, offset, 1)[0] ^ 0x01)});
}

const char* const kChecksummedVolumes[] = {"ext4-4k.raw", "ext4-1k.raw", "ext4-gdtcsum.raw", "ext4-inline.raw",
                                           "wsl-ext4.raw", "ext4-journal.raw"};

// A wrong formula fails on intact volumes: every superblock, descriptor,
// inode in use and extent tree block of them holds, as e2fsck finds.
TEST(ExtChecksumTest, EveryStructureOfAnIntactVolumeHolds) {
  for (const char* image : kChecksummedVolumes) {
    SCOPED_TRACE(image);
    const fs::path raw = ExtFixture(image);
    EXPECT_EQ(E2fsck(raw).find("checksum"), std::string::npos);
    EXPECT_TRUE(ext::SuperblockChecksumHolds(BytesAt(raw, kSuperblock, ext::kSuperblockSize)));
    const OpenVolume open(raw);
    ASSERT_TRUE(open.volume);
    const ext::ExtVolume& volume = *open.volume;
    for (const ext::GroupDescriptor& d : volume.Groups()) {
      EXPECT_TRUE(d.checksumHolds);
      EXPECT_FALSE(d.fromBackup);
    }
    std::size_t inodes = 0, trees = 0;
    volume.ForEachInodeInUse([&](std::uint32_t number, const ext::Inode& inode) {
      ++inodes;
      EXPECT_TRUE(volume.InodeChecksumHolds(inode)) << "inode " << number;
      const ext::FileMap map = volume.Map(inode);
      EXPECT_FALSE(map.checksumFails) << "inode " << number << ": " << map.why;
      if ((inode.flags & ext::kFlagExtents) != 0 && inode.blocks[6] != 0) ++trees;  // depth (i_block 0x6) > 0
      return true;
    });
    EXPECT_GE(inodes, 4u);
    if (std::string(image) == "ext4-4k.raw") {
      EXPECT_GT(trees, 0u);
    }
  }
}

// One byte changed in a field e2fsck then says fails its checksum; each
// structure's verdict here follows.
TEST(ExtChecksumTest, AChangedByteFailsWhereE2fsckSaysSo) {
  struct Row {
    const char* name;
    const char* image;
    std::function<void(const fs::path& copy)> edit;
    const char* e2fsckSays;
    std::function<bool(const fs::path& copy)> holds;  // the verdict on the changed structure
  };
  const auto superblockHolds = [](const fs::path& copy) {
    return ext::SuperblockChecksumHolds(BytesAt(copy, kSuperblock, ext::kSuperblockSize));
  };
  // The descriptor of group g as it stands in the primary table.
  const auto descriptorHolds = [](std::uint64_t table, std::size_t size, std::uint64_t g) {
    return [=](const fs::path& copy) {
      const auto sb = BytesAt(copy, kSuperblock, ext::kSuperblockSize);
      std::string why;
      const auto s = ext::DecodeSuperblock(sb, why);
      const auto bytes = BytesAt(copy, table + g * size, size);
      return s && ext::DescriptorChecksumHolds(*s, ext::VolumeChecksumSeed(*s), g, bytes);
    };
  };
  // Inode numbers come from the intact fixture: debugfs refuses to read an
  // inode that fails its checksum.
  const auto inodeHolds = [](const char* image, const char* path) {
    return [=](const fs::path& copy) {
      const OpenVolume open(copy);
      const auto inode = open.volume->ReadInode(InodeNumber(ExtFixture(image), path));
      return inode && open.volume->InodeChecksumHolds(*inode);
    };
  };
  const auto treeHolds = [](const char* image, const char* path) {
    return [=](const fs::path& copy) {
      const OpenVolume open(copy);
      const auto inode = open.volume->ReadInode(InodeNumber(ExtFixture(image), path));
      return inode && !open.volume->Map(*inode).checksumFails;
    };
  };
  const Row rows[] = {
      {"superblock write time", "ext4-1k.raw", [](const fs::path& c) { FlipByte(c, kSuperblock + 0x30); },
       "Superblock checksum does not match", superblockHolds},
      {"superblock's last word before its checksum", "ext4-4k.raw",
       [](const fs::path& c) { FlipByte(c, kSuperblock + 0x3F8); }, "Superblock checksum does not match",
       superblockHolds},
      {"descriptor of group 1 (CRC32C)", "ext4-1k.raw", [](const fs::path& c) { FlipByte(c, 2048 + 32 + 0x0C); },
       "Group descriptor 1 checksum is", descriptorHolds(2048, 32, 1)},
      {"descriptor of group 1 (CRC16)", "ext4-gdtcsum.raw", [](const fs::path& c) { FlipByte(c, 2048 + 32 + 0x0C); },
       "Group descriptor 1 checksum is", descriptorHolds(2048, 32, 1)},
      {"upper half of a 64-byte descriptor", "wsl-ext4.raw", [](const fs::path& c) { FlipByte(c, 4096 + 128 + 0x2C); },
       "Group descriptor 2 checksum is", descriptorHolds(4096, 64, 2)},
      {"inode's access time", "ext4-4k.raw",
       [](const fs::path& c) { FlipByte(c, test::InodeOffset(c, "docs/readme.txt") + 0x08); },
       "passes checks, but checksum does not match inode", inodeHolds("ext4-4k.raw", "docs/readme.txt")},
      {"inode's creation time, past its first 128 bytes", "ext4-1k.raw",
       [](const fs::path& c) { FlipByte(c, test::InodeOffset(c, "docs/readme.txt") + 0x90); },
       "passes checks, but checksum does not match inode", inodeHolds("ext4-1k.raw", "docs/readme.txt")},
      {"an unused entry of an extent leaf", "ext4-4k.raw",
       [](const fs::path& c) {
         FlipByte(c, test::FirstExtentNode(c, test::InodeOffset(c, "islands.bin")) * 4096 + 4000);
       },
       "extent block passes checks, but checksum does not match extent", treeHolds("ext4-4k.raw", "islands.bin")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::TempDir dir;
    const fs::path copy = dir / row.image;
    fs::copy_file(ExtFixture(row.image), copy);
    EXPECT_TRUE(row.holds(copy)) << "before the change";
    row.edit(copy);
    EXPECT_NE(E2fsck(copy).find(row.e2fsckSays), std::string::npos) << E2fsck(copy);
    EXPECT_FALSE(row.holds(copy));
  }
}

// Inodes nothing but themselves vouch for are taken only when their
// checksums hold: a deleted name's inode, the journal's older copy of an
// inode and the extent tree below it. Trusted, a file is listed and saved
// as from the intact volume; not trusted, it is listed without size and not
// saved whole. A live file's inode that fails is read all the same. (Intact,
// they read as ExtReadTest and ExtJournalTest check.)
TEST(ExtChecksumTest, GuessedInodesAreTrustedOnlyWhenTheirChecksumsHold) {
  // Where the journal's copy that the intact scan reads a file's inode from
  // holds that inode (debugfs bmap of the journal inode).
  const auto journalCopyOffset = [](const fs::path& raw, const test::VolumeScan& intact,
                                    const char* path) -> std::uint64_t {
    const auto item = intact.Find(path);
    for (const FileRecord& f : intact.Store().Files()) {
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
  const std::uint32_t number = InodeNumber(raw, "docs/readme.txt");
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
