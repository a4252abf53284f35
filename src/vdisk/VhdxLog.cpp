#include "vdisk/VhdxLog.h"

#include <algorithm>
#include <optional>

#include "util/Crc32.h"

namespace dravik::vhdx {

namespace {

struct Entry {
  std::uint32_t position = 0;  // in the log
  std::uint32_t length = 0;
  std::uint32_t tail = 0;
  std::uint64_t sequence = 0;
  std::uint64_t flushedFileOffset = 0;
  std::uint64_t lastFileOffset = 0;
};

class Log {
 public:
  Log(std::vector<std::uint8_t> bytes, const ImageId& guid) : bytes_(std::move(bytes)), guid_(guid) {}

  std::uint32_t Length() const { return static_cast<std::uint32_t>(bytes_.size()); }

  // length bytes from position on, wrapping at the end of the buffer.
  std::vector<std::uint8_t> Take(std::uint32_t position, std::uint32_t length) const {
    std::vector<std::uint8_t> out(length);
    for (std::uint32_t done = 0; done < length;) {
      const std::uint32_t at = (position + done) % Length();
      const std::uint32_t run = std::min(length - done, Length() - at);
      std::copy_n(bytes_.begin() + at, run, out.begin() + done);
      done += run;
    }
    return out;
  }

  // The entry that begins at position, when it is whole and belongs to this log.
  std::optional<Entry> EntryAt(std::uint32_t position) const {
    const auto head = Take(position, kLogSectorSize);
    if (!HasAscii(head, 0, kLogEntrySignature) || GuidAt(head, kEntryLogGuidOffset) != guid_) return std::nullopt;
    Entry e;
    e.position = position;
    e.length = le32(head, kEntryLengthOffset);
    e.tail = le32(head, kEntryTailOffset);
    e.sequence = le64(head, kEntrySequenceOffset);
    e.flushedFileOffset = le64(head, kEntryFlushedFileOffset);
    e.lastFileOffset = le64(head, kEntryLastFileOffset);
    if (e.length == 0 || e.length % kLogSectorSize != 0 || e.length > Length()) return std::nullopt;
    if (e.tail % kLogSectorSize != 0 || e.tail >= Length()) return std::nullopt;
    const std::uint64_t descriptors = le32(head, kEntryDescriptorCountOffset);
    const std::uint64_t descriptorSectors =
        (kLogEntryHeaderSize + descriptors * kLogDescriptorSize + kLogSectorSize - 1) / kLogSectorSize;
    if (descriptorSectors > e.length / kLogSectorSize) return std::nullopt;

    auto whole = Take(position, e.length);
    std::fill_n(whole.begin() + kEntryChecksumOffset, 4, std::uint8_t{0});
    if (Crc32c(whole) != le32(head, kEntryChecksumOffset)) return std::nullopt;
    if (!Writes(whole, e.sequence, descriptors, descriptorSectors, nullptr)) return std::nullopt;
    return e;
  }

  // Checks the descriptors and data sectors of an entry whose checksum held
  // and, when out is given, appends its writes.
  static bool Writes(const std::vector<std::uint8_t>& entry, std::uint64_t sequence, std::uint64_t descriptors,
                     std::uint64_t descriptorSectors, std::vector<LogWrite>* out) {
    std::uint64_t dataSector = descriptorSectors;
    for (std::uint64_t i = 0; i < descriptors; ++i) {
      const Bytes d = Slice(entry, static_cast<std::size_t>(kLogEntryHeaderSize + i * kLogDescriptorSize), kLogDescriptorSize);
      if (le64(d, kDescriptorSequenceOffset) != sequence) return false;
      const std::uint64_t fileOffset = le64(d, kDescriptorFileOffset);
      if (fileOffset % kLogSectorSize != 0) return false;
      if (HasAscii(d, 0, kZeroDescriptorSignature)) {
        const std::uint64_t length = le64(d, kDescriptorZeroLengthOffset);
        if (length % kLogSectorSize != 0) return false;
        if (out) out->push_back({fileOffset, length, {}});
      } else if (HasAscii(d, 0, kDataDescriptorSignature)) {
        if ((dataSector + 1) * kLogSectorSize > entry.size()) return false;
        const Bytes sector = Slice(entry, static_cast<std::size_t>(dataSector * kLogSectorSize), kLogSectorSize);
        ++dataSector;
        if (!HasAscii(sector, 0, kDataSectorSignature) || le32(sector, kDataSectorHighOffset) != sequence >> 32 ||
            le32(sector, kDataSectorLowOffset) != (sequence & 0xFFFFFFFF))
          return false;
        if (out) {
          LogWrite w{fileOffset, 0, std::vector<std::uint8_t>(kLogSectorSize)};
          std::copy_n(d.begin() + kDescriptorLeadingOffset, kLeadingBytes, w.bytes.begin());
          std::copy(sector.begin() + kDataSectorDataOffset, sector.begin() + kDataSectorLowOffset,
                    w.bytes.begin() + kLeadingBytes);
          std::copy_n(d.begin() + kDescriptorTrailingOffset, kTrailingBytes, w.bytes.end() - kTrailingBytes);
          out->push_back(std::move(w));
        }
      } else {
        return false;
      }
    }
    return true;
  }

  void AppendWrites(const Entry& e, std::vector<LogWrite>& out) const {
    const auto whole = Take(e.position, e.length);
    const std::uint64_t descriptors = le32(whole, kEntryDescriptorCountOffset);
    const std::uint64_t descriptorSectors =
        (kLogEntryHeaderSize + descriptors * kLogDescriptorSize + kLogSectorSize - 1) / kLogSectorSize;
    Writes(whole, e.sequence, descriptors, descriptorSectors, &out);
  }

 private:
  std::vector<std::uint8_t> bytes_;
  ImageId guid_;
};

LogReplay Refuse(std::string problem) {
  LogReplay replay;
  replay.problem = std::move(problem);
  return replay;
}

}  // namespace

// The active sequence is the run of entries with consecutive sequence
// numbers, each right after the one before in the buffer, whose newest entry
// has the highest sequence number of all such runs and whose tail lies in
// the run; it is replayed from the entry at that tail to the newest.
LogReplay ReadLog(const ByteSource& file, const Header& header) {
  if (header.logLength == 0 || header.logLength % kLogSectorSize != 0) return Refuse("the log length is not whole 4 KiB sectors");
  if (header.logLength > kMaxLogLength) return Refuse("the log of " + std::to_string(header.logLength) + " bytes is too long to replay");
  if (header.logOffset > file.Size() || file.Size() - header.logOffset < header.logLength)
    return Refuse("the log lies past the end of the file (truncated image?)");
  bool ok = false;
  auto bytes = ReadBlock(file, header.logOffset, header.logLength, &ok);
  if (!ok) return Refuse("the log cannot be read");
  const Log log(std::move(bytes), header.logGuid);

  const auto slots = static_cast<std::uint32_t>(log.Length() / kLogSectorSize);
  std::vector<std::optional<Entry>> entries(slots);
  for (std::uint32_t i = 0; i < slots; ++i) entries[i] = log.EntryAt(i * kLogSectorSize);
  const auto following = [&](const Entry& e) -> const Entry* {
    const auto& next = entries[((e.position + e.length) % log.Length()) / kLogSectorSize];
    return next && next->sequence == e.sequence + 1 ? &*next : nullptr;
  };
  std::vector<bool> hasPredecessor(slots, false);
  for (const auto& e : entries)
    if (e)
      if (const Entry* next = following(*e)) hasPredecessor[next->position / kLogSectorSize] = true;

  std::vector<const Entry*> best;
  for (std::uint32_t i = 0; i < slots; ++i) {
    if (!entries[i] || hasPredecessor[i]) continue;
    std::vector<const Entry*> run{&*entries[i]};
    while (run.size() < slots)
      if (const Entry* next = following(*run.back())) run.push_back(next); else break;
    const Entry* newest = run.back();
    const auto tail = std::find_if(run.begin(), run.end(), [&](const Entry* e) { return e->position == newest->tail; });
    if (tail == run.end()) continue;
    if (best.empty() || newest->sequence > best.back()->sequence) best.assign(tail, run.end());
  }
  if (best.empty()) return Refuse("the log holds no complete sequence of entries");
  const Entry& newest = *best.back();
  if (file.Size() < newest.flushedFileOffset)
    return Refuse("the file is shorter than the log's flushed file offset (truncated image?)");

  LogReplay replay;
  for (const Entry* e : best) log.AppendWrites(*e, replay.writes);
  replay.lastFileOffset = newest.lastFileOffset;
  replay.entryCount = best.size();
  replay.firstSequence = best.front()->sequence;
  replay.lastSequence = newest.sequence;
  return replay;
}

}  // namespace dravik::vhdx
