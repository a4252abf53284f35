// Deleted ext files brought back through older copies of their inodes in
// the jbd2 journal, on the journal volumes of make-ext-fixtures.sh: the walk
// of the log against debugfs logdump, the files saved against the source
// manifest (sha256 before deletion) and kept by a snapshot, and damaged
// copies of the journal that must give no false recovery.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "ExtFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/ext/ExtQuickScan.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/Journal.h"
#include "snapshot/Snapshot.h"
#include "util/ScanControl.h"
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
  EXPECT_EQ(rows.size(), 6u);
  return rows;
}

// The volume block of a journal block, as debugfs bmap on the journal
// inode says.
std::uint64_t JournalBlockOnVolume(const fs::path& raw, std::uint32_t journalBlock) {
  return std::stoull(test::Debugfs(raw, "bmap <8> " + std::to_string(journalBlock)));
}

// The journal of a raw volume, opened as the scan opens it; why says what
// kept it from opening.
struct OpenedJournal {
  explicit OpenedJournal(const fs::path& raw) : opened(raw) {
    if (opened.volume)
      journal = ext::Journal::Open(*opened.volume, why);
    else
      why = "no volume";
  }
  test::OpenedExtVolume opened;
  std::string why;
  std::optional<ext::Journal> journal;
};

const FileRecord* FileNamed(const RecoveryStore& store, const std::u16string& name) {
  for (const FileRecord& file : store.Files())
    if (file.name == name) return &file;
  return nullptr;
}

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
      const std::string name = fs::path(row.path).filename().string();
      const FileRecord* file = FileNamed(scan.store, FromUtf8(name));
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
// both files come back and the journal reads whole (DeletedFilesComeBack-
// FromTheJournal, LogMatchesLogdump): the rows fail for their damage alone.
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
      test::TempDir dir;
      const fs::path copy = dir / image;
      fs::copy_file(source, copy);
      for (const Patch& patch : row.patches) {
        std::vector<std::uint8_t> bytes = patch.bytes;
        bytes.resize(std::min<std::size_t>(bytes.size(), blockSize - patch.offset));
        test::PatchFile(copy, JournalBlockOnVolume(source, patch.journalBlock) * blockSize + patch.offset, bytes);
      }
      if (row.mapBlockInUse) {
        const auto volume = test::ReadFileBytes(copy);  // the first tag of journal block 13 names the map block
        const std::size_t tag = JournalBlockOnVolume(source, 13) * blockSize + 12;
        std::uint32_t mapBlock = 0;
        for (std::size_t i = 0; i < 4; ++i) mapBlock = mapBlock << 8 | volume[tag + i];
        ASSERT_EQ(test::RunShell("debugfs -w -R 'setb " + std::to_string(mapBlock) + "' " + test::Quote(copy)).status,
                  0);
      }
      const std::string said = JournalComplaints(copy);
      if (row.why[0] == 0)
        EXPECT_EQ(said, "");
      else
        EXPECT_NE(said.find(row.why), std::string::npos) << said;
      test::VolumeScan scan(copy);
      const FileRecord* file = FileNamed(scan.store, FromUtf8(fs::path(row.file).filename().string()));
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->fromJournal, row.recovered);
      EXPECT_TRUE(file->deleted);
      const auto saved = scan.SavedDigests();
      const auto it = saved.find(row.file);
      const bool whole = it != saved.end() && it->second == manifest.at(row.file).sha256;
      EXPECT_EQ(whole, row.recovered);
      // The live file reads as ever.
      EXPECT_EQ(saved.at("journal/keep.txt"), manifest.at("journal/keep.txt").sha256);
    }
  }
}

// A log made of descriptors of one sequence and no commit, each followed by
// its copy: read once through, not once per descriptor, and nothing taken
// from it.
TEST(ExtJournalTest, LogOfDescriptorsWithoutCommitsIsReadOnce) {
  const fs::path source = ExtFixture("ext3-journal.raw");
  const std::uint32_t blockSize = test::BlockSize(source);
  test::TempDir dir;
  const fs::path copy = dir / "hostile.raw";
  fs::copy_file(source, copy);
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
  for (std::uint32_t j = 1; j < logEnd; ++j) test::PatchFile(copy, where[j] * blockSize, j % 2 ? descriptor : zeros);

  const OpenedJournal opened(copy);
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
  const FileRecord* goneA = FileNamed(store, u"gone-a.bin");
  ASSERT_NE(goneA, nullptr);
  EXPECT_TRUE(goneA->deleted);
  for (const FileRecord& file : store.Files()) EXPECT_FALSE(file.fromJournal) << ToUtf8(file.name);
  // The log has 1024 blocks: reading on would take hundreds of reads.
  EXPECT_LE(source.readsAfterStop, 16u);
}

}  // namespace
}  // namespace dravik
