#include "fs/ext/Journal.h"

#include <algorithm>
#include <map>

#include "fs/ext/ExtVolume.h"
#include "util/ScanControl.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kMagicOffset = 0x0;
constexpr std::size_t kBlockTypeOffset = 0x4;
constexpr std::size_t kSequenceOffset = 0x8;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kBlockSizeOffset = 0xC;
constexpr std::size_t kMaxLengthOffset = 0x10;
constexpr std::size_t kFirstOffset = 0x14;
constexpr std::size_t kFirstSequenceOffset = 0x18;
constexpr std::size_t kStartOffset = 0x1C;
constexpr std::size_t kIncompatOffset = 0x28;

constexpr std::uint32_t kDescriptorBlock = 1;
constexpr std::uint32_t kCommitBlock = 2;
constexpr std::uint32_t kSuperblockV1 = 3;
constexpr std::uint32_t kSuperblockV2 = 4;
constexpr std::uint32_t kRevokeBlock = 5;

constexpr std::uint32_t kTagEscaped = 0x1;
constexpr std::uint32_t kTagSameUuid = 0x2;
constexpr std::uint32_t kTagLast = 0x8;
constexpr std::size_t kUuidSize = 16;
constexpr std::size_t kDescriptorChecksumSize = 4;

constexpr std::size_t kTagV3Size = 16;
constexpr std::size_t kTagSize = 8;
constexpr std::size_t kTagHighSize = 4;
constexpr std::size_t kTagCsumV2Size = 2;

// Why transactions were passed over is kept for this many of them.
constexpr std::size_t kMaxSkippedReasons = 16;

}  // namespace

std::size_t JournalHeader::TagSize() const {
  if ((incompat & kJournalIncompatCsumV3) != 0) return kTagV3Size;
  std::size_t size = kTagSize;
  if ((incompat & kJournalIncompat64Bit) != 0) size += kTagHighSize;
  if ((incompat & kJournalIncompatCsumV2) != 0) size += kTagCsumV2Size;
  return size;
}

std::size_t JournalHeader::DescriptorTail() const {
  return (incompat & (kJournalIncompatCsumV2 | kJournalIncompatCsumV3)) != 0 ? kDescriptorChecksumSize : 0;
}

std::optional<JournalHeader> DecodeJournalHeader(Bytes b, std::uint32_t blockSize, std::uint64_t journalBlocks,
                                                 std::string& why) {
  if (be32(b, kMagicOffset) != kJournalMagic) {
    why = "no journal superblock magic (C03B3998)";
    return std::nullopt;
  }
  JournalHeader h;
  const std::uint32_t type = be32(b, kBlockTypeOffset);
  if (type != kSuperblockV1 && type != kSuperblockV2) {
    why = "a journal superblock of block type " + std::to_string(type);
    return std::nullopt;
  }
  h.version = type == kSuperblockV1 ? 1 : 2;
  h.blockSize = be32(b, kBlockSizeOffset);
  h.maxLength = be32(b, kMaxLengthOffset);
  h.first = be32(b, kFirstOffset);
  h.sequence = be32(b, kFirstSequenceOffset);
  h.start = be32(b, kStartOffset);
  if (h.version == 2) h.incompat = be32(b, kIncompatOffset);
  if (h.blockSize != blockSize) {
    why = "journal blocks of " + std::to_string(h.blockSize) + " bytes in a volume of " + std::to_string(blockSize);
  } else if (h.first == 0 || h.first >= h.maxLength || h.maxLength > journalBlocks) {
    why = "a log of blocks " + std::to_string(h.first) + " to " + std::to_string(h.maxLength) + " in a journal of " +
          std::to_string(journalBlocks) + " blocks";
  } else {
    return h;
  }
  return std::nullopt;
}

std::optional<Journal> Journal::Open(const ExtVolume& volume, std::string& why, ScanControl* control) {
  const Superblock& s = volume.Super();
  if (s.journalInode == 0) {
    why = "no journal kept in an inode";
    return std::nullopt;
  }
  const auto inode = volume.ReadInode(s.journalInode);
  if (!inode || !inode->InUse()) {
    why = "the journal inode " + std::to_string(s.journalInode) + " does not read";
    return std::nullopt;
  }
  FileMap map = volume.Map(*inode);
  if (map.damaged || map.runs.empty()) {
    why = "the journal's blocks do not read" + (map.why.empty() ? "" : ": " + map.why);
    return std::nullopt;
  }
  const std::uint64_t journalBlocks = inode->size / s.blockSize;
  Journal journal(volume, std::move(map), {});
  std::vector<std::uint8_t> block(s.blockSize);
  if (!journal.ReadLogBlock(0, block)) {
    why = "the journal superblock does not read";
    return std::nullopt;
  }
  const auto header = DecodeJournalHeader(block, s.blockSize, journalBlocks, why);
  if (!header) return std::nullopt;
  journal.header_ = *header;
  if (!journal.ReadLog(control)) {
    why = "the reading of the journal was stopped";
    return std::nullopt;
  }
  return journal;
}

std::optional<std::uint64_t> Journal::VolumeBlockOf(std::uint32_t journalBlock) const {
  // The runs are in logical order: the last one starting at or before it.
  const auto after = std::upper_bound(map_.runs.begin(), map_.runs.end(), journalBlock,
                                      [](std::uint64_t logical, const MappedRun& run) { return logical < run.logical; });
  if (after == map_.runs.begin()) return std::nullopt;
  const MappedRun& run = *(after - 1);
  if (journalBlock >= run.logical + run.count) return std::nullopt;
  return run.physical + (journalBlock - run.logical);
}

bool Journal::ReadLogBlock(std::uint32_t journalBlock, std::span<std::uint8_t> buffer) const {
  const auto where = VolumeBlockOf(journalBlock);
  return where && volume_->Blocks().Read(*where, buffer);
}

std::uint32_t Journal::Next(std::uint32_t journalBlock) const {
  return journalBlock + 1 >= header_.maxLength ? header_.first : journalBlock + 1;
}

bool Journal::ReadWalked(std::uint32_t journalBlock, std::span<std::uint8_t> buffer) {
  ++logBlocksRead_;
  return ReadLogBlock(journalBlock, buffer);
}

Journal::Transaction Journal::WalkTransaction(std::uint32_t at, std::uint32_t sequence, ScanControl* control,
                                              std::string& why) {
  const std::uint64_t volumeBlocks = volume_->Super().blocksCount;
  const bool wide = (header_.incompat & kJournalIncompat64Bit) != 0;
  const bool v3 = (header_.incompat & kJournalIncompatCsumV3) != 0;
  const std::size_t tagSize = header_.TagSize();
  const std::size_t tagsEnd = header_.blockSize - header_.DescriptorTail();
  const std::uint64_t logLength = header_.maxLength - header_.first;
  std::vector<std::uint8_t> block(header_.blockSize), copy(header_.blockSize);
  std::vector<JournalCopy> copies;
  Transaction walked;
  std::uint32_t position = at;
  const auto step = [&] {
    position = Next(position);
    walked.wrapped = walked.wrapped || position == header_.first;
  };
  const auto brokenAt = [&](std::uint32_t resume, std::string reason) {
    why = std::move(reason);
    walked.resume = resume;
    return walked;
  };
  // Every block of the log at most once: a transaction that has not ended
  // when the walk comes round again has no commit.
  for (std::uint64_t steps = 0; steps < logLength;) {
    if (control != nullptr && !control->Continue()) {
      walked.stopped = true;
      return brokenAt(position, "the reading of the journal was stopped");
    }
    if (!ReadWalked(position, block))
      return brokenAt(position, "journal block " + std::to_string(position) + " does not read");
    if (be32(block, kMagicOffset) != kJournalMagic || be32(block, kSequenceOffset) != sequence)
      return brokenAt(position, "transaction " + std::to_string(sequence) + " breaks off at journal block " +
                                    std::to_string(position));
    const std::uint32_t type = be32(block, kBlockTypeOffset);
    if (type == kCommitBlock) {
      step();
      walked.copies = std::move(copies);
      walked.resume = position;
      return walked;
    }
    if (type != kDescriptorBlock && type != kRevokeBlock)
      return brokenAt(position, "a block of type " + std::to_string(type) + " inside transaction " +
                                    std::to_string(sequence));
    const std::uint32_t descriptor = position;
    step();
    ++steps;
    if (type == kRevokeBlock) continue;
    for (std::size_t offset = kHeaderSize; offset + tagSize <= tagsEnd && steps < logLength;) {
      std::uint64_t fsBlock = be32(block, offset);
      const std::uint32_t flags = v3 ? be32(block, offset + 4) : be16(block, offset + 6);
      if (wide) fsBlock |= std::uint64_t{be32(block, offset + 8)} << 32;
      if (fsBlock >= volumeBlocks)
        return brokenAt(Next(descriptor), "transaction " + std::to_string(sequence) + " logs block " +
                                              std::to_string(fsBlock) + ", past the volume's end");
      // A copy is escaped where it began with the magic: a block that does
      // is another transaction's, written over this one.
      if (!ReadWalked(position, copy) || be32(copy, kMagicOffset) == kJournalMagic)
        return brokenAt(position, "transaction " + std::to_string(sequence) + " breaks off at journal block " +
                                      std::to_string(position));
      copies.push_back({fsBlock, position, sequence, (flags & kTagEscaped) != 0});
      step();
      ++steps;
      offset += tagSize + ((flags & kTagSameUuid) != 0 ? 0 : kUuidSize);
      if ((flags & kTagLast) != 0) break;
    }
  }
  return brokenAt(position, "transaction " + std::to_string(sequence) + " has no commit block within the log");
}

bool Journal::ReadLog(ScanControl* control) {
  std::vector<std::uint8_t> block(header_.blockSize);
  // journal block -> (age, order within its transaction, copy): a copy met
  // again from a later descriptor of its transaction is kept once.
  std::map<std::uint32_t, std::pair<std::uint64_t, JournalCopy>> found;
  std::uint64_t order = 0;
  // A transaction's walk reads the blocks it spans; the log goes on past
  // them (or from the block it broke off at), and ends where one came round.
  for (std::uint32_t at = header_.first; at < header_.maxLength;) {
    if (control != nullptr && !control->Continue()) return false;
    if (!ReadWalked(at, block) || be32(block, kMagicOffset) != kJournalMagic ||
        be32(block, kBlockTypeOffset) != kDescriptorBlock) {
      ++at;
      continue;
    }
    std::string why;
    const Transaction walked = WalkTransaction(at, be32(block, kSequenceOffset), control, why);
    if (walked.stopped) return false;
    if (!walked.copies) {
      if (skipped_.size() < kMaxSkippedReasons) skipped_.push_back(why);
    } else {
      for (const JournalCopy& copy : *walked.copies) found.emplace(copy.journalBlock, std::pair{order++, copy});
    }
    if (walked.wrapped || walked.resume <= at) break;
    at = walked.resume;
  }
  std::vector<std::pair<std::uint64_t, JournalCopy>> ordered;
  for (const auto& [journalBlock, entry] : found) ordered.push_back(entry);
  // Oldest first: by age, then in log order.
  std::stable_sort(ordered.begin(), ordered.end(), [&](const auto& a, const auto& b) {
    if (Age(a.second.sequence) != Age(b.second.sequence)) return Age(a.second.sequence) > Age(b.second.sequence);
    return a.first < b.first;
  });
  for (const auto& entry : ordered) {
    byVolumeBlock_[entry.second.fsBlock].push_back(copies_.size());
    byJournalBlock_.emplace(entry.second.journalBlock, copies_.size());
    copies_.push_back(entry.second);
  }
  return true;
}

std::vector<JournalCopy> Journal::CopiesOf(std::uint64_t fsBlock) const {
  std::vector<JournalCopy> out;
  const auto found = byVolumeBlock_.find(fsBlock);
  if (found == byVolumeBlock_.end()) return out;
  for (auto it = found->second.rbegin(); it != found->second.rend(); ++it) out.push_back(copies_[*it]);
  return out;
}

std::optional<JournalCopy> Journal::CopyAt(std::uint32_t journalBlock) const {
  const auto found = byJournalBlock_.find(journalBlock);
  if (found == byJournalBlock_.end()) return std::nullopt;
  return copies_[found->second];
}

bool Journal::ReadCopy(const JournalCopy& copy, std::span<std::uint8_t> buffer) const {
  if (buffer.size() < header_.blockSize || !ReadLogBlock(copy.journalBlock, buffer)) return false;
  if (copy.escaped) {
    for (std::size_t i = 0; i < 4; ++i) buffer[i] = static_cast<std::uint8_t>(kJournalMagic >> (24 - 8 * i));
  }
  return true;
}

}  // namespace dravik::ext
