// Deleted ext files brought back through older copies of their inodes in
// the jbd2 journal, on the journal volumes of make-ext-fixtures.sh: the walk
// of the log against debugfs logdump and dumpe2fs, the files saved against
// the source manifest (sha256 before deletion), and damaged copies of the
// journal that must give no false recovery.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "ExtFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/Journal.h"
#include "util/Diagnostics.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ExtFixture;

// Descriptor tags of 16 bytes (checksums v3 and 64-bit), 12 (64-bit) and 8
// (32-bit, with the commit blocks' checksum of version 1 and without).
const char* const kJournalImages[] = {"ext4-journal.raw", "ext4-journal-plain.raw", "ext3-journal.raw",
                                      "ext3-journal-csum.raw"};

struct ManifestRow {
  std::uint64_t size = 0;
  std::string sha256;
};

// journal.manifest: SIZE SHA256 PATH of the source files.
std::map<std::string, ManifestRow> JournalManifest() {
  std::ifstream in(ExtFixture("journal.manifest"));
  std::map<std::string, ManifestRow> rows;
  for (std::string size, sha, path; in >> size >> sha >> path;) rows[path] = {std::stoull(size), sha};
  EXPECT_EQ(rows.size(), 5u);
  return rows;
}

// The volume block of a journal block, as debugfs bmap on the journal
// inode says.
std::uint64_t JournalBlockOnVolume(const fs::path& raw, std::uint32_t journalBlock) {
  return std::stoull(test::Debugfs(raw, "bmap <8> " + std::to_string(journalBlock)));
}

std::uint32_t BlockSize(const fs::path& raw) {
  static const std::regex size(R"(Block size:\s+(\d+))");
  std::smatch m;
  const std::string stats = test::Debugfs(raw, "stats -h");
  EXPECT_TRUE(std::regex_search(stats, m, size));
  return static_cast<std::uint32_t>(std::stoul(m[1]));
}

const FileRecord* FileNamed(const RecoveryStore& store, const std::u16string& name) {
  for (const FileRecord& file : store.Files())
    if (file.name == name) return &file;
  return nullptr;
}

// The log the engine reads against logdump -Oa, which dumps every
// descriptor left in the log, live or not: the same volume blocks at the
// same journal blocks; and the tag format against dumpe2fs.
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

    const auto file = ImageFile::Open(raw);
    ASSERT_TRUE(file);
    const SectorReader reader(*file);
    Diagnostics diagnostics;
    const auto volume = ext::ExtVolume::Open(reader, 0, diagnostics);
    ASSERT_TRUE(volume);
    std::string why;
    const auto journal = ext::Journal::Open(*volume, why);
    ASSERT_TRUE(journal) << why;
    std::set<std::pair<std::uint64_t, std::uint32_t>> got;
    for (const ext::JournalCopy& copy : journal->Copies()) got.emplace(copy.fsBlock, copy.journalBlock);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(journal->Skipped().empty());
    EXPECT_EQ(journal->Header().start, 0u) << "a clean journal";

    const std::string features = test::RunShell("dumpe2fs -h " + test::Quote(raw) + " 2>/dev/null").out;
    ASSERT_NE(features.find("Journal features:"), std::string::npos);
    const auto has = [&](std::uint32_t flag) { return (journal->Header().incompat & flag) != 0; };
    EXPECT_EQ(has(ext::kJournalIncompatCsumV3), features.find("journal_checksum_v3") != std::string::npos);
    EXPECT_EQ(has(ext::kJournalIncompat64Bit), features.find("journal_64bit") != std::string::npos);

    // Every block is logged twice, newest after it in the log: the newest
    // copy comes first.
    for (const auto& [fsBlock, journalBlock] : want) {
      const auto copies = journal->CopiesOf(fsBlock);
      ASSERT_EQ(copies.size(), 2u);
      EXPECT_GT(copies[0].sequence, copies[1].sequence);
      EXPECT_GT(copies[0].journalBlock, copies[1].journalBlock);
    }
  }
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
  };
  const auto manifest = JournalManifest();
  for (const char* image : kJournalImages) {
    SCOPED_TRACE(image);
    test::ExtScan scan(ExtFixture(image));
    test::TempDir out;
    scan.SaveAll(out.Path());
    const auto saved = test::Sha256Tree(out.Path());
    for (const Row& row : rows) {
      SCOPED_TRACE(row.path);
      const std::string name = fs::path(row.path).filename().string();
      const FileRecord* file = FileNamed(scan.Store(), FromUtf8(name));
      ASSERT_NE(file, nullptr);
      const bool applies = !row.ext4Only || std::string(image).starts_with("ext4");
      EXPECT_EQ(file->deleted, row.deleted && applies);
      EXPECT_EQ(file->fromJournal, row.fromJournal && applies);
      // The list's Type column says where the data comes from.
      const auto listed = scan.Find(row.path);
      ASSERT_TRUE(listed);
      EXPECT_EQ(listed->type.ends_with(", from the journal"), row.fromJournal && applies) << listed->type;
      const ManifestRow& source = manifest.at(row.path);
      const auto it = saved.find(row.path);
      if (row.fromJournal || !row.deleted) {
        EXPECT_EQ(file->size, source.size);
        ASSERT_NE(it, saved.end());
        EXPECT_EQ(it->second, source.sha256);
      } else if (it != saved.end()) {
        EXPECT_NE(it->second, source.sha256);
      }
    }
  }
}

// The command line shows the mark in its listing and JSON, and a snapshot
// keeps it and the journal copy a file is read from.
TEST(ExtJournalTest, CommandLineAndSnapshotShowTheMark) {
  const std::string image = test::Quote(ExtFixture("ext4-journal.raw"));
  test::TempDir out;
  const std::string snapshot = test::Quote(out / "journal.dvsf");
  const auto list = test::RunShell(test::Dravik("scan quick --list --save-snapshot " + snapshot + " " + image));
  ASSERT_EQ(list.status, 0);
  const auto json = test::RunShell(test::Dravik("scan quick --json " + image));
  const auto reloaded = test::RunShell(test::Dravik("snapshot --list " + image + " " + snapshot));
  ASSERT_EQ(reloaded.status, 0);
  EXPECT_EQ(reloaded.out, list.out);
  const auto resaved = test::RunShell(
      test::Dravik("snapshot --quiet --recover " + test::Quote(out / "saved") + " " + image + " " + snapshot));
  ASSERT_EQ(resaved.status, 0) << resaved.out;
  const auto saved = test::Sha256Tree(out / "saved");
  const auto manifest = JournalManifest();
  struct Row {
    const char* path;
    bool fromJournal;
  };
  for (const Row row : {Row{"journal/gone-a.bin", true}, Row{"journal/gone-b.txt", true},
                        Row{"journal/reused.bin", false}, Row{"journal/keep.txt", false}}) {
    SCOPED_TRACE(row.path);
    const std::regex listed(std::string("\tdeleted \\(journal\\)\t[^\n]*\t") + row.path + "\n");
    EXPECT_EQ(std::regex_search(list.out, listed), row.fromJournal) << list.out;
    EXPECT_EQ(std::regex_search(reloaded.out, listed), row.fromJournal) << reloaded.out;
    const std::regex marked(std::string("\\{[^}]*\"path\":\"") + row.path + "\"[^}]*\"journal\":true");
    EXPECT_EQ(std::regex_search(json.out, marked), row.fromJournal);
    if (row.fromJournal) {
      EXPECT_EQ(saved.at(row.path), manifest.at(row.path).sha256);
    }
  }
}

// Why the journal of a raw volume refused to open or passed transactions
// over, one reason a line; empty when it read whole.
std::string JournalComplaints(const fs::path& raw) {
  const auto file = ImageFile::Open(raw);
  if (!file) return "unopened";
  const SectorReader reader(*file);
  Diagnostics diagnostics;
  const auto volume = ext::ExtVolume::Open(reader, 0, diagnostics);
  if (!volume) return "no volume";
  std::string why;
  const auto journal = ext::Journal::Open(*volume, why);
  if (!journal) return why;
  std::string all;
  for (const std::string& reason : journal->Skipped()) all += reason + "\n";
  return all;
}

// Damaged journals give no crash and no false recovery: the journal's
// superblock, a tag, a commit block, the logged copy, and a log too short
// for its transactions (the walk comes round to where it began). The first
// row, undamaged, shows that the others fail for their damage alone.
TEST(ExtJournalTest, DamagedJournalsGiveNoFalseRecovery) {
  struct Patch {
    std::uint32_t journalBlock;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
  };
  struct Row {
    const char* name;
    std::vector<Patch> patches;
    bool recovered;
    const char* why;  // what the journal says it passed over or refused
  };
  const std::vector<std::uint8_t> zeros(16, 0);
  // The journal of each image: block 0 its superblock, 1 and 4 the
  // descriptors of the two transactions that log gone-a.bin's inode table
  // block, 2 and 5 their copies, 3 and 6 their commits (as
  // LogMatchesLogdump checks against logdump).
  const Row rows[] = {
      {"undamaged", {}, true, ""},
      {"bad journal magic", {{0, 0, {0xDE, 0xAD, 0xBE, 0xEF}}}, false, "no journal superblock magic"},
      {"tag past the volume", {{1, 12, {0xFF, 0xFF, 0xFF, 0x00}}}, false, "past the volume's end"},
      {"older commit gone", {{3, 0, zeros}}, false, "breaks off at journal block 3"},
      {"older copy zeroed", {{2, 0, std::vector<std::uint8_t>(4096, 0)}}, false, ""},
      {"log of two blocks", {{0, 0x10, {0, 0, 0, 3}}}, false, "no commit block within the log"},
      {"log past the journal", {{0, 0x10, {0x7F, 0xFF, 0xFF, 0xFF}}}, false, "a log of blocks 1 to"},
  };
  const auto manifest = JournalManifest();
  for (const char* image : kJournalImages) {
    const fs::path source = ExtFixture(image);
    const std::uint32_t blockSize = BlockSize(source);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(image) + ": " + row.name);
      test::TempDir dir;
      const fs::path copy = dir / image;
      fs::copy_file(source, copy);
      for (const Patch& patch : row.patches) {
        std::vector<std::uint8_t> bytes = patch.bytes;
        bytes.resize(std::min<std::size_t>(bytes.size(), blockSize - patch.offset));
        test::PatchFile(copy, JournalBlockOnVolume(source, patch.journalBlock) * blockSize + patch.offset, bytes);
      }
      const std::string said = JournalComplaints(copy);
      if (row.why[0] == 0)
        EXPECT_EQ(said, "");
      else
        EXPECT_NE(said.find(row.why), std::string::npos) << said;
      test::ExtScan scan(copy);
      const FileRecord* file = FileNamed(scan.Store(), u"gone-a.bin");
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->fromJournal, row.recovered);
      EXPECT_TRUE(file->deleted);
      const fs::path out = dir / "out";
      scan.SaveAll(out);
      const auto saved = test::Sha256Tree(out);
      const auto it = saved.find("journal/gone-a.bin");
      const bool whole = it != saved.end() && it->second == manifest.at("journal/gone-a.bin").sha256;
      EXPECT_EQ(whole, row.recovered);
      // The live file reads as ever.
      EXPECT_EQ(saved.at("journal/keep.txt"), manifest.at("journal/keep.txt").sha256);
    }
  }
}

}  // namespace
}  // namespace dravik
