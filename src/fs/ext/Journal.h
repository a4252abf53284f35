#pragma once
// The jbd2 journal of an ext3/ext4 volume, kept in an inode (inode 8 as a
// rule, the superblock's s_journal_inum). It is a circular log of journal
// blocks; every structure in it is big-endian and starts with a 12-byte
// header:
//
//   header:      0x0 magic C03B3998  0x4 block type  0x8 transaction sequence
//   superblock:  0xC block size  0x10 blocks in the log (s_maxlen)  0x14 first log block (s_first)
//                0x18 first sequence expected  0x1C start of the live log (0: clean)
//                0x24/28/2C features (compat, incompat, ro_compat; version 2 only)
//
// Block types: 1 descriptor, 2 commit, 3 and 4 superblock (version 1, 2),
// 5 revoke. A descriptor block is followed by one tag per file-system block
// the transaction logged, and those blocks follow it in the log in tag
// order; the transaction ends with its commit block.
//
//   tag (checksum v3):  0x0 block (low)  0x4 flags (32 bits)  0x8 block (high)  0xC checksum
//   tag (otherwise):    0x0 block (low)  0x4 checksum (16 bits)  0x6 flags (16 bits)  0x8 block (high, 64bit only)
//                       the tag is 8 bytes, 12 with 64bit, 2 more with checksum v2
//   tag flags:          1 escaped (the block's first four bytes were the magic, zeroed in the log)
//                       2 same UUID (else a 16-byte UUID follows the tag)  8 last tag of the block
//
// With checksums v2 or v3 a descriptor block ends with a 4-byte checksum
// that no tag may overlap.
//
// The log is read whole, not only its live part: a clean journal (start 0)
// still holds the transactions of the last mount, and each is trusted when
// its blocks run unbroken from its first descriptor to a commit block of its
// own sequence. A logged copy never starts with the magic (it is escaped),
// so a block with the magic where a copy should lie breaks the transaction:
// the log there was written by another one, which the walk goes on from.
// Each block of the log is so read about once.

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <span>
#include <string>
#include <vector>

#include "fs/ext/FileMap.h"
#include "util/Bytes.h"

namespace dravik {
class ScanControl;
}

namespace dravik::ext {

class ExtVolume;

constexpr std::uint32_t kJournalMagic = 0xC03B3998;

// Journal feature flags.
constexpr std::uint32_t kJournalIncompatRevoke = 0x1;
constexpr std::uint32_t kJournalIncompat64Bit = 0x2;
constexpr std::uint32_t kJournalIncompatCsumV2 = 0x8;
constexpr std::uint32_t kJournalIncompatCsumV3 = 0x10;

// The journal's superblock, as far as the walk of the log needs it.
struct JournalHeader {
  std::uint32_t version = 0;  // 1 or 2
  std::uint32_t blockSize = 0;
  std::uint32_t maxLength = 0;  // journal blocks in the log, the superblock's included
  std::uint32_t first = 0;      // the first journal block of the log
  std::uint32_t sequence = 0;   // the first sequence the next mount expects
  std::uint32_t start = 0;      // 0 for a clean journal
  std::uint32_t incompat = 0;

  // The bytes of one descriptor tag, the UUID that may follow it left out.
  std::size_t TagSize() const;
  // The bytes at the end of a descriptor block that tags do not use.
  std::size_t DescriptorTail() const;
};

// Decodes the journal superblock; none, with why, when its magic, version,
// block size or log bounds do not hold for a volume of blockSize bytes
// blocks whose journal inode maps journalBlocks blocks.
std::optional<JournalHeader> DecodeJournalHeader(Bytes bytes, std::uint32_t blockSize, std::uint64_t journalBlocks,
                                                 std::string& why);

// One file-system block as a committed transaction logged it.
struct JournalCopy {
  std::uint64_t fsBlock = 0;       // the volume block it is a copy of
  std::uint32_t journalBlock = 0;  // where the copy lies in the log
  std::uint32_t sequence = 0;      // the transaction's sequence
  bool escaped = false;            // its first four bytes read as the magic
};

class Journal {
 public:
  // Reads the journal of the volume; none, with why, for a volume without
  // one (or with it on another device), or one whose inode or superblock
  // does not read.
  // With a control, a stop asked while the log is read ends the reading
  // (none, with why).
  static std::optional<Journal> Open(const ExtVolume& volume, std::string& why, ScanControl* control = nullptr);

  const JournalHeader& Header() const { return header_; }
  // Every block copy of a committed transaction, oldest first.
  const std::vector<JournalCopy>& Copies() const { return copies_; }
  // Why transactions were passed over: a descriptor without its commit, a
  // tag past the volume; empty when every one read.
  const std::vector<std::string>& Skipped() const { return skipped_; }

  // The copies of a volume block, newest first.
  std::vector<JournalCopy> CopiesOf(std::uint64_t fsBlock) const;
  // Reads a copy (the magic put back where it was escaped) into buffer of
  // the block size; false when it does not read.
  bool ReadCopy(const JournalCopy& copy, std::span<std::uint8_t> buffer) const;
  // The copy that lies at journal block journalBlock; none where no
  // committed transaction logged one.
  std::optional<JournalCopy> CopyAt(std::uint32_t journalBlock) const;
  // How many transactions before the one the journal expects next a
  // transaction was (sequences wrap round): the larger, the older.
  std::uint32_t Age(std::uint32_t sequence) const { return header_.sequence - sequence; }
  // How many journal blocks reading the log took: about the log's length.
  std::uint64_t LogBlocksRead() const { return logBlocksRead_; }

 private:
  Journal(const ExtVolume& volume, FileMap map, JournalHeader header)
      : volume_(&volume), map_(std::move(map)), header_(header) {}

  // The volume block holding a journal block; none in a hole of the map.
  std::optional<std::uint64_t> VolumeBlockOf(std::uint32_t journalBlock) const;
  bool ReadLogBlock(std::uint32_t journalBlock, std::span<std::uint8_t> buffer) const;
  // ReadLogBlock for the walk of the log, which counts the blocks it reads.
  bool ReadWalked(std::uint32_t journalBlock, std::span<std::uint8_t> buffer);
  std::uint32_t Next(std::uint32_t journalBlock) const;

  struct Transaction {
    std::optional<std::vector<JournalCopy>> copies;  // none when it did not run unbroken to its commit
    std::uint32_t resume = 0;  // where the walk of the log goes on: past the commit, or where it broke off
    bool wrapped = false;      // the transaction came round past the log's last block
    bool stopped = false;      // a stop was asked
  };
  // Walks the transaction whose descriptor lies at journal block at (why
  // says where it broke off).
  Transaction WalkTransaction(std::uint32_t at, std::uint32_t sequence, ScanControl* control, std::string& why);
  // False when a stop was asked.
  bool ReadLog(ScanControl* control);

  const ExtVolume* volume_;
  FileMap map_;
  JournalHeader header_;
  std::vector<JournalCopy> copies_;
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> byVolumeBlock_;  // indexes into copies_, oldest first
  std::unordered_map<std::uint32_t, std::size_t> byJournalBlock_;
  std::vector<std::string> skipped_;
  std::uint64_t logBlocksRead_ = 0;
};

}  // namespace dravik::ext
